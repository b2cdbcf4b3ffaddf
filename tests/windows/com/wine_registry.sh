# Sourced by the registry tests under Wine (registration, installer). Before sourcing, set $work
# (a scratch folder) and leave the emulator command as the positional arguments:
#   . "$(dirname "$0")/../wine_registry.sh"
# Defines win (runs a Windows command quietly), win_out (keeps its output), flatten and export_key.

# The emulator (a command with arguments) quoted once, so functions can run it.
emulator=""
for word; do
  emulator="$emulator '$(printf %s "$word" | sed "s/'/'\\\\''/g")'"
done
win() { eval "$emulator \"\$@\"" </dev/null >/dev/null 2>&1; }
win_out() { eval "$emulator \"\$@\"" </dev/null 2>/dev/null; }

# One line per key and per value ("[key] name=data"), sorted: the order reg export happens to use
# does not matter, every key and value does.
flatten() {
  awk '/^\[/ { key = $0; print key; next } key != "" && $0 != "" { print key " " $0 }' | LC_ALL=C sort
}

# reg export of one key (with subkeys) as flattened text on stdout; status 1 when it is absent.
export_key() {
  rm -f "$work/export.reg"
  win reg export "$1" "$work/export.reg" /y || return 1
  iconv -f UTF-16 -t UTF-8 "$work/export.reg" | tr -d '\r' | flatten
}
