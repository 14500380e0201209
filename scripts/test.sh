#!/usr/bin/env bash
# Installs, builds and runs every test twice: a normal build with warnings as errors
# (its tests include a staging install with the example built against it), and a build
# under AddressSanitizer and UndefinedBehaviorSanitizer; then builds the Debian package
# and checks it with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
for kind in ci asan; do
  echo "== build: $kind"
  scripts/build.sh "$kind"
  echo "== tests: $kind"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "build/$kind" --output-on-failure -j "$jobs" --timeout 600
done
echo "== package"
scripts/package.sh
