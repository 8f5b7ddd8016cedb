#!/usr/bin/env bash
# Reports whose names Windows rewrites when they are given as plain paths (a
# trailing space or dot is dropped, con is the console), made on the Linux
# side as copies from Linux, a Mac or a NAS bring them, beside a.htm: the
# Windows program under Wine must read each as itself.
# Usage: tests/windows_names_check.sh PROGRAM.exe SUITE.exe (the Windows suite, which checks
# first that Wine runs under the ANSI code page the copy of the check names)
set -euo pipefail
program=$(realpath "$1")
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/cmake/wine-run.sh" "$2" --gtest_filter=WindowsSuite.RunsUnderTheCodePageItNames >/dev/null ||
  { echo "names check: not under ANSI code page ${TRAFFIC_TOTALS_EXPECTED_ANSI_CODE_PAGE:-(none named)}" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/run"
row() { printf '<tr><td>10.0.0.1<td>80<td>10.0.0.2<td>443<td>%s<td>%s<td>tcp<td>12:00<td>ok\r\n' "$1" "$2"; }
row 100 200 >"$work/run/a.htm"
row 7000 8000 >"$work/run/a.htm "
row 30 40 >"$work/run/b.htm."
row 5 6 >"$work/run/con.htm"
before=$(cd "$work/run" && md5sum -- * | sort)
status=0
(cd "$work/run" && "$here/cmake/wine-run.sh" "$program" </dev/null >"$work/out" 2>"$work/err") || status=$?
out=$(tr -d '\r' <"$work/out")
fail() { echo "names check: $*" >&2; echo "names check: standard output was:" >&2; cat -A "$work/out" | head -60 >&2; exit 1; }
[ "$status" -eq 0 ] || fail "exit status $status"
[ ! -s "$work/err" ] || fail "standard error: $(cat "$work/err")"
for expected in "a.htm:100:200" "a.htm :7000:8000" "b.htm.:30:40" "con.htm:5:6"; do
  IFS=: read -r name up down <<<"$expected"
  block=$(printf '\n REPORT FOR [%s]\n TOTAL CONNECTIONS            1 \n TOTAL UPLOADS     %12d BYTES\n TOTAL DOWNLOADS   %12d BYTES' \
    "$name" "$up" "$down")
  size=$(stat -c %s "$work/run/$name")
  [[ "$out" == *"$size | $name "$'\n'"$block"* ]] || fail "'$name' is not read as itself"
done
[[ "$out" == *" Total Connections :            4"* ]] || fail "not four connections in all"
[[ "$out" == *" Total Uploads     :     6.968 KB"* ]] || fail "the uploads total is wrong"
[ "$(cd "$work/run" && md5sum -- a.htm* b.htm. con.htm | sort)" = "$before" ] || fail "a report was changed"
compgen -G "$work/run/izhod_*_etc.txt" >/dev/null || fail "no summary"
