#!/usr/bin/env bash
# scripts/check_format.sh with the project's .clang-format on a scratch repository: a
# badly formatted change fails and shows the fix, its fix in the working tree passes,
# unformatted lines a change does not touch are not judged, a commit without a parent
# has nothing to compare, and an unknown base is an error.
# Usage: check_format_test.sh SOURCE_DIR   (exit 77: clang-format 16 is not installed)
set -euo pipefail
source_dir=$(cd "$1" && pwd)
command -v clang-format-16 >/dev/null && command -v git-clang-format-16 >/dev/null || exit 77
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
git init -q .
git config user.email test@example.invalid
git config user.name test
mkdir scripts
cp "$source_dir/scripts/check_format.sh" scripts/
cp "$source_dir/.clang-format" .

fail() {
  echo "FAIL: $*" >&2
  cat out.txt >&2
  exit 1
}
# The check's exit status; its output goes to out.txt.
check() {
  local status=0
  scripts/check_format.sh "$@" >out.txt 2>&1 || status=$?
  echo "$status"
}

printf 'int Old(int x){return x;}\n' >old.cpp
git add -A
git commit -qm first
[ "$(check)" = 0 ] || fail "a commit without a parent is not passed"
grep -q "nothing to compare" out.txt || fail "no word that nothing was compared"

printf 'int Bad(int x){if (x) return 1; return 0;}\n' >bad.cpp
git add bad.cpp
git commit -qm bad
[ "$(check)" = 1 ] || fail "a badly formatted change passes"
grep -qx '+  if (x) {' out.txt || fail "the fix (braces on the branch) is not shown"

clang-format-16 -i bad.cpp
[ "$(check)" = 0 ] || fail "the formatted working tree does not pass"
git commit -qam fixed

printf 'int New(int x) { return x; }\n' >>old.cpp
git commit -qam "formatted line beside an old one"
[ "$(check)" = 0 ] || fail "an untouched old line is judged"
[ "$(check HEAD~3)" = 0 ] || fail "the clean tree against an older base does not pass"
[ "$(check no-such-revision)" = 2 ] || fail "an unknown base is not an error"
echo "check_format: 6 cases passed"
