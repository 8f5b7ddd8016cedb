#!/usr/bin/env bash
# Runs a Windows program under Wine, quietly and without the Mono and Gecko
# installs (there is no network), in a Wine prefix of its own.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-${TMPDIR:-/tmp}/traffic-totals-wine}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
exec wine "$@"
