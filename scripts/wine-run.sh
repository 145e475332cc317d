#!/usr/bin/env bash
# Runs a Windows program through Wine in a private prefix: the one named by
# WINEPREFIX, else build/windows/wineprefix beside this script's project. The
# prefix is created by the first run that finds it missing; concurrent runs
# wait for it.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/windows/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No desktop integration, no Mono or Gecko download prompts.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}

mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1
  wineserver --wait
fi
flock -u 9
exec 9>&-

exec wine "$@"
