#!/bin/sh
# The Windows installer under Wine, end to end: msiexec /i /qn with the Remote Desktop feature puts
# both DLLs, the README and the samples in place and registers each DLL in its own registry view;
# what it registers equals what regsvr32 writes for the installed 64-bit DLL, key by key, and the
# 32-bit view holds the same for the 32-bit DLL; the installed samples pass their checks against the
# simulators; the installed korvane-sim.exe serves an installed sample and the installed korvane.exe; a
# newer build installed over it leaves one product and one registration; an older build over the
# newer one and a missing package fail with their exit codes; msiexec /x /qn leaves no file and no
# key of ours. Prints the install and uninstall times.
# Then the 32-bit package alone: its DLL and the same 32-bit registration, removed again.
# Usage: msi_test.sh <msi> <newer msi> <x86 msi> <build's korvane.dll> <COM test state> <sample tables>
#                    <work> <emulator...>
# The COM test state holds the simulators of the COM tests (samples, silent, nojob).
# The build's DLL is registered again at the end: the other COM tests rely on it.
set -u
msi=$1 newer=$2 msi_x86=$3 build_dll=$4 sim_state=$5 tables=$6 work=$7
shift 7

. "$(dirname "$0")/../wine_registry.sh"
. "$(dirname "$0")/../../../../scripts/sim_port.sh"

failures=0
fail() {
  printf 'FAIL: %s\n' "$*"
  failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work"

restore() {
  rc=$?
  # Whatever is left of the package goes, and the build's DLL is the registered one again.
  win msiexec /x "Z:$newer" /qn
  win msiexec /x "Z:$msi" /qn
  win msiexec /x "Z:$msi_x86" /qn
  if ! win regsvr32 /s "$build_dll"; then
    printf 'FAIL: %s\n' "the build's DLL could not be registered again for the other tests"
    rc=1
  fi
  exit $rc
}
trap restore EXIT
trap 'exit 1' INT TERM HUP

# Our keys: those named by an identifier of the type library (library, classes, interfaces) or by
# a ProgID. Wine's script host registers its own type libraries on first use: they are not ours.
source_dir=$(cd "$(dirname "$0")/../../../.." && pwd)
ours_pattern="$(grep -o 'uuid([0-9A-Fa-f-]*)' "$source_dir/src/automation/korvane.idl" |
  sed 's/uuid(\(.*\))/{\1}/' | tr 'a-f' 'A-F' | paste -sd'|')|\\Zyl\.|\\Korvane\.WCEPort"
ours() { awk -v p="$ours_pattern" '{ key = toupper(substr($0, 1, index($0, "]"))) } key ~ toupper(p)'; }
# snapshot <key> <file>: the key with everything below it, flattened; "absent" when it is not there.
snapshot() { export_key "$1" >"$2" || echo absent >"$2"; }
# Wine keeps the 32-bit view of the classes below the 64-bit one, in Classes\Wow6432Node: one
# export holds both, split here into <name>_64.txt and <name>_32.txt (our keys only).
addin='HKCU\Software\Microsoft\Terminal Server Client\Default\AddIns\Ostrel'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
snapshot_all() {
  snapshot 'HKLM\Software\Classes' "$work/$1_all.txt"
  ours <"$work/$1_all.txt" | grep -vi '^\[HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node\\' >"$work/$1_64.txt"
  ours <"$work/$1_all.txt" | grep -i '^\[HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node\\' >"$work/$1_32.txt"
  snapshot "$addin" "$work/$1_addin.txt"
}
# added <before> <after>: lines only in the later snapshot.
added() { LC_ALL=C comm -13 "$1" "$2"; }
same() { cmp -s "$1" "$2" || fail "$3: $(diff "$1" "$2" | head -n 20)"; }
# Products of ours in the installer's list (DisplayName "Korvane ...").
products() {
  snapshot "$uninstall" "$work/uninstall.txt"
  grep -c '"DisplayName"="Korvane ' "$work/uninstall.txt"
}
# msiexec's full exit code (Wine hands a Linux parent only its low 8 bits), through cmd.
msiexec_status() {
  eval "$emulator cmd /c \"msiexec \$* & call echo status=%errorlevel%\"" </dev/null 2>/dev/null |
    tr -d '\r' | sed -n 's/^status=//p'
}
ms() { date +%s%3N; }

program_files=$(win_out winepath -u 'C:\Program Files' | tr -d '\r')
program_files32=$(win_out winepath -u 'C:\Program Files (x86)' | tr -d '\r')
[ -d "$program_files" ] && [ -d "$program_files32" ] || { fail "no Program Files folders in the prefix"; exit 1; }
dir64="$program_files/Korvane"
dir32="$program_files32/Korvane"
dll64_win='C:\Program Files\Korvane\korvane.dll'
dll64_esc='C:\\Program Files\\Korvane\\korvane.dll'
dll32_esc='C:\\Program Files (x86)\\Korvane\\korvane.dll'

# A registry without the build's registration: the package's rows must stand on their own.
win regsvr32 /u /s "$build_dll" || fail "regsvr32 /u of the build's DLL exited $?"
snapshot_all base
[ "$(products)" -eq 0 ] || fail "a Korvane product is installed before the test"

# Install, with the optional Remote Desktop add-in.
start=$(ms)
win msiexec /i "Z:$msi" /qn ADDLOCAL=Main,RdpAddin
status=$?
install_ms=$(($(ms) - start))
[ "$status" -eq 0 ] || fail "msiexec /i exited $status"
cmp -s "$dir64/korvane.dll" "$build_dll" || fail "$dir64/korvane.dll is not the build's DLL"
[ -f "$dir32/korvane.dll" ] || fail "no $dir32/korvane.dll"
# The machine field of the PE header: 014c for i386.
is_i386() { [ "$(od -An -tx1 -j "$(($(od -An -tu4 -j 60 -N 4 "$1") + 4))" -N 2 "$1" | tr -d ' ')" = 4c01 ]; }
is_i386 "$dir32/korvane.dll" || fail "$dir32/korvane.dll is not a 32-bit (i386) image"
cmp -s "$dir64/README.md" "$(dirname "$0")/../../../../README.md" || fail "README.md differs"
for sample in "$(dirname "$0")"/../../../../samples/scripts/*; do
  cmp -s "$sample" "$dir64/samples/$(basename "$sample")" || fail "sample $(basename "$sample") missing or different"
done
snapshot_all msi
[ "$(products)" -eq 1 ] || fail "$(products) Korvane products after the install, want 1"
added "$work/base_64.txt" "$work/msi_64.txt" >"$work/msi_rows64.txt"
added "$work/base_32.txt" "$work/msi_32.txt" >"$work/msi_rows32.txt"
grep -qF "InprocServer32] @=\"$dll64_esc\"" "$work/msi_rows64.txt" || fail "no 64-bit InprocServer32 with $dll64_esc"
grep -qF "InprocServer32] @=\"$dll32_esc\"" "$work/msi_rows32.txt" || fail "no 32-bit InprocServer32 with $dll32_esc"
grep -qF "\"Name\"=\"$dll64_esc\"" "$work/msi_addin.txt" || fail "add-in not registered: $(cat "$work/msi_addin.txt")"

# regsvr32 of the installed DLL writes exactly what the package wrote, and removes all of it.
win regsvr32 /u /s "$dll64_win" || fail "regsvr32 /u of the installed DLL exited $?"
snapshot_all unreg
# The type library key is shared by both views: the 32-bit DLL's entry stays in it.
added "$work/base_64.txt" "$work/unreg_64.txt" | grep -vi '\\Typelib\\[^]]*\\1\.0\(\\0\\win32\|\\0\|\\FLAGS\|\\HELPDIR\)\?\]' |
  grep -vi '\\Typelib\\{[^}]*}\]' >"$work/unreg_left.txt"
[ -s "$work/unreg_left.txt" ] && fail "regsvr32 /u left keys the package wrote: $(head -n 5 "$work/unreg_left.txt")"
win regsvr32 /s "$dll64_win" || fail "regsvr32 of the installed DLL exited $?"
snapshot_all reg
added "$work/base_64.txt" "$work/reg_64.txt" >"$work/regsvr32_rows64.txt"
same "$work/regsvr32_rows64.txt" "$work/msi_rows64.txt" "package rows differ from regsvr32's (- regsvr32, + package)"
[ "$(wc -l <"$work/msi_rows64.txt")" -gt 80 ] || fail "only $(wc -l <"$work/msi_rows64.txt") registry lines"
# The 32-bit view: the same entries for the 32-bit DLL, with its path. The type library key is
# one for both views, as on Windows: it holds the 64-bit DLL under win64 and the 32-bit one under
# win32.
libid=$(grep -o 'uuid([0-9A-Fa-f-]*)' "$source_dir/src/automation/korvane.idl" | head -n 1 | sed 's/uuid(\(.*\))/{\1}/')
not_typelib() { grep -vi "\\\\Typelib\\\\$libid"; }
not_typelib <"$work/msi_rows64.txt" |
  sed -e 's/^\[HKEY_LOCAL_MACHINE\\Software\\Classes/[HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node/' \
      -e 's/C:\\\\Program Files\\\\Korvane/C:\\\\Program Files (x86)\\\\Korvane/' | LC_ALL=C sort >"$work/expected_rows32.txt"
not_typelib <"$work/msi_rows32.txt" >"$work/msi_rows32_own.txt"
same "$work/expected_rows32.txt" "$work/msi_rows32_own.txt" "32-bit view (- as the 64-bit one, + found)"
grep -qiF "\\Typelib\\$libid\\1.0\\0\\win64] @=\"$dll64_esc\"" "$work/msi_64.txt" || fail "no win64 type library entry"
grep -qiF "\\Typelib\\$libid\\1.0\\0\\win32] @=\"$dll32_esc\"" "$work/msi_64.txt" || fail "no win32 type library entry"

# Every installed sample, run from where it was installed through the package's registration,
# with the checks the sample tests make.
mkdir -p "$work/samples"
for sample in "$dir64"/samples/*; do
  name=$(basename "$sample")
  bash "$source_dir/tests/windows/com/scripts/sample_test.sh" "$sample" "$sim_state" "$tables" \
    "$work/samples/$name" "$@" >"$work/samples/$name.out" 2>&1
  status=$?
  sed "s/^/  /" "$work/samples/$name.out"
  [ "$status" -eq 0 ] && grep -q '^OK [0-9]* checks' "$work/samples/$name.out" || fail "installed sample $name"
done

# The installed simulator, started from where it was installed, serves an installed sample through
# the package's registration, and the installed tool: an integrator's setup on one Windows PC.
installed='C:\Program Files\Korvane'
rm -rf "$work/sim_data"
cp -r "$tables" "$work/sim_data"
eval "exec $emulator \"\$installed\\korvane-sim.exe\" --listen 127.0.0.1:0 --data \"Z:\$work/sim_data\" --timeout 60 --quiet" \
  </dev/null >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
if ! port=$(sim_port "$work/sim.out" "$sim_pid"); then
  fail "the installed korvane-sim.exe did not start: $(cat "$work/sim.err")"
else
  win_out cscript.exe //nologo "$installed\\samples\\terminal_info.js" "LAN:127.0.0.1:$port" >"$work/info.out"
  status=$?
  iconv -f CP866 -t UTF-8 "$work/info.out" | tr -d '\r' | sed "s/^/  terminal_info.js> /"
  [ "$status" -eq 0 ] || fail "the installed sample against the installed simulator exited $status"
  iconv -f CP866 -t UTF-8 "$work/info.out" | tr -d '\r' | grep -qxF "program:      Ostrel 1.0.0.0" ||
    fail "the installed sample did not show the installed simulator's identity"
  win_out "$installed\\korvane.exe" --port "LAN:127.0.0.1:$port" info | tr -d '\r' >"$work/tool.out"
  grep -qxF "program:    Ostrel" "$work/tool.out" || fail "the installed korvane.exe did not show the simulator's identity"
fi
kill "$sim_pid" 2>/dev/null
wait "$sim_pid" 2>/dev/null

# A newer build over this one: one product, the same registration.
win msiexec /i "Z:$newer" /qn ADDLOCAL=Main,RdpAddin
status=$?
[ "$status" -eq 0 ] || fail "msiexec /i of the newer package exited $status"
[ "$(products)" -eq 1 ] || fail "$(products) Korvane products after the upgrade, want 1"
grep -q '"DisplayVersion"="[^"]*"' "$work/uninstall.txt" &&
  ! grep -qF "\"DisplayVersion\"=\"$(basename "$newer" | sed 's/^korvane-\(.*\)-x64\.msi$/\1/')\"" "$work/uninstall.txt" &&
  fail "the installed product is not the newer one"
snapshot_all upgraded
same "$work/msi_64.txt" "$work/upgraded_64.txt" "64-bit registration after the upgrade"
same "$work/msi_32.txt" "$work/upgraded_32.txt" "32-bit registration after the upgrade"
same "$work/msi_addin.txt" "$work/upgraded_addin.txt" "add-in registration after the upgrade"

# Failures are reported and change nothing: the older build over the newer one is refused with
# 1603 (fatal error) and the reason in its log; a package that is not there fails too (Windows
# says 1619, Wine 2).
status=$(msiexec_status /i "Z:$msi" /qn /l*v "Z:$work/downgrade.log")
[ "$status" = 1603 ] || fail "installing the older package over the newer exited '$status', want 1603"
# (Wine's log leaves out the launch condition's text; it names the newer product found.)
grep -aq "WIX_DOWNGRADE_DETECTED = {" "$work/downgrade.log" || fail "the log of the refused downgrade does not say why"
status=$(msiexec_status /i "Z:$work/missing.msi" /qn)
case $status in
  "" | 0) fail "installing a missing package exited '$status'" ;;
esac
snapshot_all refused
same "$work/msi_64.txt" "$work/refused_64.txt" "registration after the refused installs"
[ "$(products)" -eq 1 ] || fail "$(products) Korvane products after the refused installs, want 1"

# Uninstall: nothing of ours is left.
start=$(ms)
win msiexec /x "Z:$newer" /qn
status=$?
uninstall_ms=$(($(ms) - start))
[ "$status" -eq 0 ] || fail "msiexec /x exited $status"
snapshot_all removed
same "$work/base_64.txt" "$work/removed_64.txt" "keys left in the 64-bit view (- before install, + after uninstall)"
same "$work/base_32.txt" "$work/removed_32.txt" "keys left in the 32-bit view (- before install, + after uninstall)"
same "$work/base_addin.txt" "$work/removed_addin.txt" "add-in key left"
[ -e "$dir64" ] && fail "$dir64 left: $(find "$dir64" | head)"
[ -e "$dir32" ] && fail "$dir32 left: $(find "$dir32" | head)"
[ "$(products)" -eq 0 ] || fail "$(products) Korvane products after the uninstall, want 0"

# The 32-bit package: the 32-bit DLL in Program Files (x86), registered exactly as by the x64
# package, and nothing left after its removal.
win msiexec /i "Z:$msi_x86" /qn ADDLOCAL=Main,RdpAddin
status=$?
[ "$status" -eq 0 ] || fail "msiexec /i of the x86 package exited $status"
is_i386 "$dir32/korvane.dll" || fail "x86 package: $dir32/korvane.dll is not a 32-bit image"
[ -f "$dir32/samples/terminal_info.vbs" ] || fail "x86 package: no samples in $dir32"
[ -e "$dir64" ] && fail "x86 package wrote $dir64"
snapshot_all x86
added "$work/base_32.txt" "$work/x86_32.txt" | not_typelib >"$work/x86_rows32.txt"
same "$work/msi_rows32_own.txt" "$work/x86_rows32.txt" "x86 package's 32-bit view (- x64 package's, + x86 package's)"
added "$work/base_64.txt" "$work/x86_64.txt" | not_typelib >"$work/x86_rows64.txt"
[ -s "$work/x86_rows64.txt" ] && fail "x86 package wrote into the 64-bit view: $(head -n 3 "$work/x86_rows64.txt")"
grep -qiF "\\Typelib\\$libid\\1.0\\0\\win32] @=\"$dll32_esc\"" "$work/x86_64.txt" || fail "x86 package: no win32 type library entry"
grep -qF "\"Name\"=\"$dll32_esc\"" "$work/x86_addin.txt" || fail "x86 package: add-in not registered: $(cat "$work/x86_addin.txt")"
win msiexec /x "Z:$msi_x86" /qn || fail "msiexec /x of the x86 package exited $?"
snapshot_all x86removed
same "$work/base_64.txt" "$work/x86removed_64.txt" "x86 package: keys left in the 64-bit view"
same "$work/base_32.txt" "$work/x86removed_32.txt" "x86 package: keys left in the 32-bit view"
same "$work/base_addin.txt" "$work/x86removed_addin.txt" "x86 package: add-in key left"
[ -e "$dir32" ] && fail "x86 package: $dir32 left"

echo "x64 package: install ${install_ms} ms, uninstall ${uninstall_ms} ms, $(wc -c <"$msi") bytes; x86 package $(wc -c <"$msi_x86") bytes"
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
