#!/usr/bin/env bash
# Runs a Windows program under Wine, quietly and without the Mono and Gecko
# installs (there is no network), in a Wine prefix of its own.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-${TMPDIR:-/tmp}/traffic-totals-wine}
# Wine takes the ANSI code page from the Unix locale: TRAFFIC_TOTALS_WINE_LOCALE
# names a compiled locale (DIR/bg_BG.UTF-8 gives 1251, DIR/en_US.UTF-8 1252).
# It is given to Wine alone: this shell need not be able to load it.
locale=()
if [ -n "${TRAFFIC_TOTALS_WINE_LOCALE:-}" ]; then
  locale=(env "LOCPATH=${TRAFFIC_TOTALS_WINE_LOCALE%/*}" "LC_ALL=${TRAFFIC_TOTALS_WINE_LOCALE##*/}")
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "${locale[@]}" wineboot -i >/dev/null 2>&1
  wineserver -w
fi
exec "${locale[@]}" wine "$@"
