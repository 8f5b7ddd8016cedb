#!/usr/bin/env bash
# Runs the Windows program under Wine on a pseudo-terminal, so that its
# standard output is a console, in a folder whose path holds Cyrillic and a
# space, with reports named in several scripts; every name and the path must
# show as themselves in what the terminal received, whatever the ANSI code
# page the locale gives Wine. A key piped in ends the pause, the command
# processor's or, where that cannot be run, the program's own.
# Usage: tests/windows_console_check.sh PROGRAM.exe SUITE.exe (the Windows suite, which checks
# first that Wine runs under the ANSI code page the copy of the check names)
set -euo pipefail
program=$(realpath "$1")
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/cmake/wine-run.sh" "$2" --gtest_filter=WindowsSuite.RunsUnderTheCodePageItNames >/dev/null ||
  { echo "console check: not under ANSI code page ${TRAFFIC_TOTALS_EXPECTED_ANSI_CODE_PAGE:-(none named)}" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
folder="$work/отчети 2026"
mkdir -p "$folder"
names=(plain.htm трафик.htm γειά.htm 流量.htm café.htm)
for name in "${names[@]}"; do
  printf '<tr><td>1<td>2<td>3<td>4<td>500<td>600' >"$folder/$name"
done
typescript="$work/typescript"
if ! (cd "$folder" && printf k | script -qefc "'$here/cmake/wine-run.sh' '$program'" "$typescript" >/dev/null); then
  echo "console check: the program failed on a console" >&2
  cat -v "$typescript" >&2
  exit 1
fi
status=0
for name in "${names[@]}"; do
  grep -qF "REPORT FOR [$name]" "$typescript" || { echo "console check: '$name' is not shown as itself" >&2; status=1; }
done
grep -qF "Total for all reports in [Z:${work//\//\\}\\отчети 2026]" "$typescript" ||
  { echo "console check: the folder's path is not shown as itself" >&2; status=1; }
if [ "$status" -ne 0 ]; then
  echo "console check: the terminal received:" >&2
  cat -v "$typescript" | head -60 >&2
fi

# With no command processor to run, the program prompts and waits for the key
# itself (Wine's own pause says "continue...", the program "continue . . .").
rm -f "$folder"/izhod_*
windows_program="Z:${program//\//\\}"
if ! (cd "$folder" && printf k | timeout 60 script -qefc \
  "'$here/cmake/wine-run.sh' cmd /c 'set COMSPEC=C:\\nowhere\\cmd.exe&& $windows_program'" "$typescript" >/dev/null); then
  echo "console check: the program failed with no command processor" >&2
  status=1
fi
grep -qF "Press any key to continue . . ." "$typescript" ||
  { echo "console check: no prompt of its own without a command processor" >&2; status=1; }
compgen -G "$folder/izhod_*_etc.txt" >/dev/null ||
  { echo "console check: no summary with no command processor" >&2; status=1; }
exit "$status"
