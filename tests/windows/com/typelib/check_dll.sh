#!/bin/sh
# Shape of korvane.dll: exactly the server's entry points, exported under their plain names (no
# stdcall "@n" in the 32-bit build), and nothing imported but system DLLs, so the DLL runs with
# nothing beside it.
# Usage: check_dll.sh OBJDUMP FORMAT DLL [FORMAT DLL ...]   (FORMAT: pei-x86-64 or pei-i386)

EXPORTS="DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer VirtualChannelEntry"
SYSTEM_DLLS="advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll setupapi.dll user32.dll ws2_32.dll"

export LC_ALL=C  # objdump's headings are translated in other locales
objdump=$1
shift
if [ $# -lt 2 ] || [ $(($# % 2)) -ne 0 ]; then
  echo "usage: $0 OBJDUMP FORMAT DLL [FORMAT DLL ...]" >&2
  exit 2
fi
want_exports=$(printf '%s\n' $EXPORTS | sort | tr '\n' ' ' | sed 's/ $//')
status=0

while [ $# -ge 2 ]; do
  format=$1 dll=$2
  shift 2
  bad=0
  fail() { echo "FAIL $dll: $*"; bad=1; status=1; }
  if [ ! -f "$dll" ]; then
    fail "missing: build it first (the windows-x86 preset builds the 32-bit one; scripts/test.sh does that before these tests)"
    continue
  fi
  if ! dump=$("$objdump" -p "$dll" 2>&1); then
    fail "objdump failed: $dump"
    continue
  fi
  printf '%s\n' "$dump" | grep -q "file format $format\$" || fail "not $format: $(printf '%s\n' "$dump" | grep -m1 'file format')"
  exports=$(printf '%s\n' "$dump" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next } table && !NF { table = 0 } table && /\[/ { print $NF }' |
    sort | tr '\n' ' ' | sed 's/ $//')
  [ "$exports" = "$want_exports" ] || fail "exports '$exports', expected '$want_exports'"
  imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  [ -n "$imports" ] || fail "no imports found"
  for dll_name in $imports; do
    case " $SYSTEM_DLLS " in
      *" $dll_name "*) ;;
      *) fail "imports $dll_name, which is not a system DLL" ;;
    esac
  done
  [ "$bad" -eq 0 ] && echo "ok $dll: $format, exports: $exports; imports: $(echo $imports)"
done
exit "$status"
