#!/usr/bin/env bash
# Checks that the C++ lines changed since a base revision follow .clang-format.
# Usage: scripts/check_format.sh [BASE]
#   BASE defaults to the parent of HEAD: on a fresh checkout, the commit before the one
#   under test (for a merge, its first parent). Only changed lines are checked, in the
#   working tree (uncommitted edits included), so older code need not be formatted yet.
# Exit status: 0 formatted, or nothing to compare (HEAD has no parent in a shallow or
# one-commit history); 1 not formatted, the fix printed as a diff; 2 the check could not
# run (no clang-format 16, an unknown BASE).
set -euo pipefail
cd "$(dirname "$0")/.."
# The options of .clang-format (InsertBraces, AlignTrailingComments' Kind) need 16.
formatter=clang-format-16
driver=git-clang-format-16
for tool in "$formatter" "$driver"; do
  if ! command -v "$tool" >/dev/null; then
    echo "check_format: $tool is not installed (scripts/setup.sh installs it)" >&2
    exit 2
  fi
done
if [ $# -gt 0 ]; then
  base=$1
  if ! git rev-parse --verify --quiet "$base^{commit}" >/dev/null; then
    echo "check_format: unknown revision '$base'" >&2
    exit 2
  fi
else
  base=HEAD^
  if ! git rev-parse --verify --quiet "$base^{commit}" >/dev/null 2>&1; then
    echo "check_format: HEAD has no parent in this checkout; nothing to compare"
    exit 0
  fi
fi
status=0
"$driver" --binary "$(command -v "$formatter")" --extensions c,cc,cpp,h,hpp --diff "$base" \
  || status=$?
if [ "$status" -eq 1 ]; then
  echo "check_format: lines changed since $base are not formatted; to fix them:" >&2
  echo "  git clang-format-16 --binary clang-format-16 $base" >&2
fi
exit "$status"
