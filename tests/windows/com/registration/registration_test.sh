#!/bin/sh
# korvane.dll through regsvr32 in the build's Wine prefix: every class entry with its exact values,
# a second registration replacing stale class keys, no setting written, removal keeping "CLSID",
# the per-user pair, both scopes at once removed in either order, and a refused command line.
# Usage: registration_test.sh <korvane.dll> <work folder> <emulator command...>
# Whatever happens, the DLL is left registered for the machine: the other COM tests rely on it.
set -u
dll=$1
work=$2
shift 2

. "$(dirname "$0")/../wine_registry.sh"

failures=0
fail() {
  printf 'FAIL: %s\n' "$*"
  failures=$((failures + 1))
}

# Fixed identifiers: clients and earlier registrations depend on them never changing.
libid='{1D4966D1-8C8B-4877-9AA9-7220FFCD50D3}'
appid='{DA671E3D-8293-4642-9A4C-5AC1178032B2}'
# ProgID | version-independent ProgID | description | CLSID | AppID value
classes='Zyl.KorvaneX.1|Zyl.KorvaneX|KorvaneX Class|{0CC2E606-3A74-4E24-80DA-44433CCD97D6}|no
Zyl.KorvaneX2.1|Zyl.KorvaneX2|KorvaneX2 Class|{375AF27A-80F6-4FBF-9813-B56CFAC12A18}|yes
Zyl.OstrelStrings.1|Zyl.OstrelStrings|OstrelStrings Class|{30C3A186-8C39-448F-835E-22785AA9B493}|yes
Zyl.Ostrel.1|Zyl.Ostrel|Ostrel Class|{C5259695-5430-4B25-90D1-0E3CE4D41B23}|yes
Zyl.Ostrel2.1|Zyl.Ostrel2|Ostrel2 Class|{A34D256E-E92F-4F8A-B109-1B90961254DB}|no
Zyl.EnumHelper.1|Zyl.EnumHelper|EnumHelper Class|{469C073F-2E36-4953-BE42-8D79EF00EBF5}|no
Korvane.WCEPortDesc.1|Korvane.WCEPortDesc|WCEPortDesc Class|{33BADC6C-E752-4B1D-8B35-A0696F690D23}|no
Korvane.WCEPortSet.1|Korvane.WCEPortSet|WCEPortSet Class|{75076B20-7A28-4EEA-AFCD-1FBD487464D3}|no'
settings_key='HKCU\Software\Microsoft\Terminal Server Client\Default\AddIns\Ostrel'

rm -rf "$work"
mkdir -p "$work"
# The path as the DLL reports it, escaped as reg export writes it.
dll_windows="Z:$(printf %s "$dll" | tr / '\\')"
dll_escaped=$(printf %s "$dll_windows" | sed 's/\\/\\\\/g')

restore() {
  rc=$?
  win regsvr32 /u /s /n /i:user "$dll"
  if ! win regsvr32 /s "$dll"; then
    printf 'FAIL: %s\n' "the DLL could not be registered again for the other tests"
    rc=1
  fi
  exit $rc
}
trap restore EXIT
trap 'exit 1' INT TERM HUP

# The whole classes root $1 exported once into the file $2: one Wine process instead of one per key.
snapshot() { export_key "$1" >"$2" || fail "could not export $1"; }

# The lines of snapshot $1 for key $2 (as reg export names it) and its subkeys. Key names are
# compared as the registry does, without regard to case.
under() {
  K="[$2" awk 'BEGIN { k = tolower(ENVIRON["K"]) }
    { key = tolower(substr($0, 1, index($0, "]") - 1)) } key == k || index(key, k "\\") == 1' "$1"
}

has_key() { grep -qixF "[$2]" "$1"; }

# What reg export shows for one class under the classes root $1 (HKEY_CLASSES_ROOT or
# HKEY_CURRENT_USER\Software\Classes), flattened.
expected_class() {
  root=$1 prog=$2 indep=$3 desc=$4 clsid=$5 app=$6
  key="$root\\CLSID\\$clsid"
  {
    printf '[%s]\n@="%s"\n[%s\\CLSID]\n@="%s"\n' "$root\\$prog" "$desc" "$root\\$prog" "$clsid"
    printf '[%s]\n@="%s"\n[%s\\CLSID]\n@="%s"\n[%s\\CurVer]\n@="%s"\n' \
      "$root\\$indep" "$desc" "$root\\$indep" "$clsid" "$root\\$indep" "$prog"
    printf '[%s]\n@="%s"\n' "$key" "$desc"
    [ "$app" = yes ] && printf '"AppID"="%s"\n' "$appid"
    printf '[%s\\InprocServer32]\n@="%s"\n"ThreadingModel"="Apartment"\n' "$key" "$dll_escaped"
    printf '[%s\\ProgID]\n@="%s"\n[%s\\VersionIndependentProgID]\n@="%s"\n' "$key" "$prog" "$key" "$indep"
    printf '[%s\\Programmable]\n[%s\\TypeLib]\n@="%s"\n' "$key" "$key" "$libid"
  } | flatten
}

# Every class's three keys in snapshot $1 of root $2 compared with what they must hold; all of
# them are also collected in $3 for a later comparison.
check_classes() {
  snap=$1 root=$2 out=$3
  : >"$out"
  rm -f "$work/class_failures"
  echo "$classes" | while IFS='|' read -r prog indep desc clsid app; do
    expected_class "$root" "$prog" "$indep" "$desc" "$clsid" "$app" >"$work/expected.txt"
    for key in "$prog" "$indep" "CLSID\\$clsid"; do under "$snap" "$root\\$key"; done | LC_ALL=C sort >"$work/actual.txt"
    cat "$work/actual.txt" >>"$out"
    if ! cmp -s "$work/expected.txt" "$work/actual.txt"; then
      printf 'FAIL: entries of %s under %s (- expected, + found):\n' "$prog" "$root"
      diff -u "$work/expected.txt" "$work/actual.txt" | sed -n '3,$p'
      echo x >>"$work/class_failures"
    fi
  done
  [ -s "$work/class_failures" ] && failures=$((failures + 1))
}

# None of the class keys is in snapshot $1 of root $2.
check_absent() {
  snap=$1 root=$2 what=$3
  for key in $(echo "$classes" | awk -F'|' '{ print $1; print $2; print "CLSID\\" $4 }'); do
    [ -n "$(under "$snap" "$root\\$key")" ] && fail "$what: $root\\$key is still there"
  done
}

# Settings as they are before registering: none of them may be created or changed by it.
ini="$(eval "$emulator winepath -u 'C:\\windows'" </dev/null 2>/dev/null)/Korvane.ini"
settings_state() {
  export_key "$settings_key" || echo "no settings key"
  if [ -e "$ini" ]; then cksum <"$ini"; else echo "no Korvane.ini"; fi
}
settings_state >"$work/settings_before.txt"

# Machine registration: every entry and the type library, in the machine's own hive.
machine='HKEY_LOCAL_MACHINE\Software\Classes'
machine_short='HKLM\Software\Classes'
win regsvr32 /s "$dll" || fail "regsvr32 /s exited $?"
snapshot "$machine_short" "$work/hkcr1.txt"
check_classes "$work/hkcr1.txt" "$machine" "$work/classes1.txt"
tlb_key="$machine\\TypeLib\\$libid\\1.0\\0\\win64"
under "$work/hkcr1.txt" "$tlb_key" >"$work/tlb.txt"
grep -qixF "[$tlb_key] @=\"$dll_escaped\"" "$work/tlb.txt" || fail "type library key $tlb_key: $(cat "$work/tlb.txt")"

# A second registration over stale leftovers in a class key leaves exactly the same entries.
ostrel_key="$machine_short\\CLSID\\{C5259695-5430-4B25-90D1-0E3CE4D41B23}"
win reg add "$ostrel_key\\Stale" /f || fail "could not add a stale subkey"
win reg add "$ostrel_key\\InprocServer32" /v Old /d 'C:\old\korvane.dll' /f || fail "could not add a stale value"
win regsvr32 /s "$dll" || fail "second regsvr32 /s exited $?"
snapshot "$machine_short" "$work/hkcr2.txt"
check_classes "$work/hkcr2.txt" "$machine" "$work/classes2.txt"
cmp -s "$work/classes1.txt" "$work/classes2.txt" || fail "entries differ after a second registration"

# Removal: every class key goes, "CLSID" stays; twice is fine.
win regsvr32 /u /s "$dll" || fail "regsvr32 /u /s exited $?"
snapshot "$machine_short" "$work/hkcr3.txt"
check_absent "$work/hkcr3.txt" "$machine" 'after /u'
has_key "$work/hkcr3.txt" "$machine\\CLSID" || fail "$machine\\CLSID was removed"
[ -n "$(under "$work/hkcr3.txt" "$machine\\TypeLib\\$libid")" ] && fail "type library still registered after /u"
win regsvr32 /u /s "$dll" || fail "second regsvr32 /u /s exited $?"

# Per user: the same entries under HKCU\Software\Classes. (Wine neither creates classes registered
# only per user nor keeps per-user type libraries apart, so the class entries are what is checked.)
user='HKEY_CURRENT_USER\Software\Classes'
win regsvr32 /s /n /i:user "$dll" || fail "regsvr32 /s /n /i:user exited $?"
snapshot 'HKCU\Software\Classes' "$work/hkcu1.txt"
check_classes "$work/hkcu1.txt" "$user" "$work/user_classes.txt"
win regsvr32 /u /s /n /i:user "$dll" || fail "regsvr32 /u /s /n /i:user exited $?"
snapshot 'HKCU\Software\Classes' "$work/hkcu2.txt"
check_absent "$work/hkcu2.txt" "$user" 'after the per-user /u'
has_key "$work/hkcu2.txt" "$user\\CLSID" || fail "$user\\CLSID was removed"

# Both scopes registered, in either order: each removal takes away exactly its own keys and type
# library, whichever came first (a write through HKEY_CLASSES_ROOT would land in the user's hive).
user_short='HKCU\Software\Classes'
tlb_user="$user\\TypeLib\\$libid"
for first in user machine; do
  if [ "$first" = user ]; then
    win regsvr32 /s /n /i:user "$dll" && win regsvr32 /s "$dll" || fail "$first first: registering exited $?"
    gone=user kept=machine gone_args='/n /i:user' kept_args='' kept_before=$work/both_m_classes.txt
  else
    win regsvr32 /s "$dll" && win regsvr32 /s /n /i:user "$dll" || fail "$first first: registering exited $?"
    gone=machine kept=user gone_args='' kept_args='/n /i:user' kept_before=$work/both_u_classes.txt
  fi
  snapshot "$machine_short" "$work/both_m.txt"
  snapshot "$user_short" "$work/both_u.txt"
  check_classes "$work/both_m.txt" "$machine" "$work/both_m_classes.txt"
  check_classes "$work/both_u.txt" "$user" "$work/both_u_classes.txt"
  # shellcheck disable=SC2086
  win regsvr32 /u /s $gone_args "$dll" || fail "$first first: removing $gone exited $?"
  snapshot "$machine_short" "$work/after_m.txt"
  snapshot "$user_short" "$work/after_u.txt"
  if [ "$gone" = user ]; then gone_snap=$work/after_u.txt kept_snap=$work/after_m.txt gone_root=$user kept_root=$machine
  else gone_snap=$work/after_m.txt kept_snap=$work/after_u.txt gone_root=$machine kept_root=$user; fi
  check_absent "$gone_snap" "$gone_root" "$first first, after removing $gone"
  [ -n "$(under "$gone_snap" "$gone_root\\TypeLib\\$libid")" ] && fail "$first first: $gone type library left"
  check_classes "$kept_snap" "$kept_root" "$work/kept_classes.txt"
  cmp -s "$work/kept_classes.txt" "$kept_before" ||
    fail "$first first: removing $gone changed the $kept entries"
  [ -n "$(under "$kept_snap" "$kept_root\\TypeLib\\$libid\\1.0")" ] || fail "$first first: $kept type library removed"
  # shellcheck disable=SC2086
  win regsvr32 /u /s $kept_args "$dll" || fail "$first first: removing $kept exited $?"
done
snapshot "$machine_short" "$work/none_m.txt"
snapshot "$user_short" "$work/none_u.txt"
check_absent "$work/none_m.txt" "$machine" 'after both removals'
check_absent "$work/none_u.txt" "$user" 'after both removals'
[ -n "$(under "$work/none_u.txt" "$tlb_user")" ] && fail "per-user type library left after both removals"

# Anything else after /i: is refused and writes nothing; neither did the per-user pair for the
# machine.
if win regsvr32 /s /n /i:bogus "$dll"; then fail "regsvr32 /s /n /i:bogus succeeded"; fi
snapshot 'HKCU\Software\Classes' "$work/hkcu3.txt"
check_absent "$work/hkcu3.txt" "$user" 'after /i:bogus'
snapshot "$machine_short" "$work/hkcr4.txt"
check_absent "$work/hkcr4.txt" "$machine" 'after the per-user pair and /i:bogus'

settings_state >"$work/settings_after.txt"
cmp -s "$work/settings_before.txt" "$work/settings_after.txt" ||
  fail "registration touched a setting: $(diff "$work/settings_before.txt" "$work/settings_after.txt")"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
