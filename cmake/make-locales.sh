#!/usr/bin/env bash
# Compiles the two locales whose ANSI code pages the Windows tests run under
# into a folder of their own: Wine takes the code page from the Unix locale
# (bg_BG.UTF-8 gives 1251, en_US.UTF-8 gives 1252).
# Usage: cmake/make-locales.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
for locale in bg_BG en_US; do
  [ -d "$dir/$locale.UTF-8" ] || localedef -i "$locale" -f UTF-8 "$dir/$locale.UTF-8"
done
