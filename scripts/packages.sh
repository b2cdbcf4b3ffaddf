# What a Debian 12 machine needs for Korvane, and the locale Wine runs in; sourced by scripts/test.sh
# (everything) and scripts/demo.sh (the tools and the Windows build, not the checkers).
NATIVE_PACKAGES=(g++ cmake libgtest-dev libgmock-dev)
# mingw-w64 for both DLLs (the installer carries the 32-bit one too), Wine to run them, wixl for the
# installer.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools libwine-dev wine64 wine
                  locales msitools wixl)
CHECK_PACKAGES=(libbenchmark-dev clang socat python3 clang-format)
WINE_LOCALE=ru_RU.UTF-8   # Wine's ANSI code page follows it: 1251, the library's charset

# Runs a command quietly; on failure shows the end of its output.
quiet() {
  local log
  log=$(mktemp)
  "$@" >"$log" 2>&1
  local rc=$?
  [ "$rc" -eq 0 ] || tail -n 80 "$log"
  rm -f "$log"
  return "$rc"
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "need root (or sudo) to run: $*" >&2
    return 1
  fi
}

# missing_packages <package...>: prints those not installed, one line.
missing_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  echo "${missing[*]}"
}

wine_locale_present() { locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8'; }

# install_packages <package...>: apt-get installs those missing, then generates the Wine locale.
install_packages() {
  local missing
  read -ra missing <<<"$(missing_packages "$@")"
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    quiet as_root apt-get update -qq || return 1
    quiet as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
      return 1
  else
    echo "all packages present"
  fi
  if ! wine_locale_present; then
    echo "generating $WINE_LOCALE"
    as_root sed -i 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' /etc/locale.gen || return 1
    grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
    quiet as_root locale-gen || return 1
  fi
}
