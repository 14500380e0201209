#!/usr/bin/env bash
# Installs, checks the formatting of the C++ lines the last commit changed, builds the
# Debian package and checks it with lintian, then builds and runs every test twice: a
# normal build with warnings as errors (its tests include a staging install with the
# example built against it), and a build under AddressSanitizer and
# UndefinedBehaviorSanitizer. The test runs come last, so their summary closes the log.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
echo "== format"
scripts/check_format.sh
echo "== package"
scripts/package.sh
for kind in ci asan; do
  echo "== build: $kind"
  scripts/build.sh "$kind"
  echo "== tests: $kind"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "build/$kind" --output-on-failure -j "$jobs" --timeout 600
done
