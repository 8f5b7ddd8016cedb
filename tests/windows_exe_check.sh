#!/usr/bin/env bash
# Reads the built Windows program as a file: its version details (what the
# file's Properties show), its manifest, and no debug sections in a release
# build. Usage: tests/windows_exe_check.sh PROGRAM.exe VERSION
set -euo pipefail
exe=$1
version=$2
status=0
fail() { echo "exe check: $*" >&2; status=1; }

# Version strings are UTF-16 in the resource section.
strings_utf16=$(strings -el "$exe")
for field in ProductName FileDescription FileVersion ProductVersion; do
  grep -qx "$field" <<<"$strings_utf16" || fail "no $field in the version details"
done
grep -qx "traffic-totals" <<<"$strings_utf16" || fail "the product name is missing"
grep -qx "$version" <<<"$strings_utf16" || fail "version $version is missing"

manifest=$(strings -a "$exe" | sed -n '/<assembly/,/<\/assembly>/p')
[ -n "$manifest" ] || fail "no manifest"
for wanted in 'level="asInvoker"' '>true</longPathAware>' \
  '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}' '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'; do
  grep -qF "$wanted" <<<"$manifest" || fail "the manifest lacks $wanted"
done
if grep -qF activeCodePage <<<"$manifest"; then fail "the manifest sets a code page"; fi

if x86_64-w64-mingw32-objdump -h "$exe" | grep -q '\.debug'; then fail "debug sections in a release build"; fi
exit "$status"
