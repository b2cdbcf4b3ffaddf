#!/bin/sh
# Runs a Windows program under Wine: the build's own prefix, quiet, and no Mono or Gecko installer
# prompts; a caller's own settings win.
prefix=$1
shift
export WINEPREFIX="${WINEPREFIX:-$prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree=d;mshtml=d}"
exec wine "$@"
