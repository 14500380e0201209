#!/usr/bin/env bash
# Configures and builds into build/<name>.
# Usage: scripts/build.sh [release|ci|asan|package] [TARGET...]   (no target: everything)
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
shift || true
case "$kind" in
  release) flags=(-DCMAKE_BUILD_TYPE=Release) ;;
  ci) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DOKUVA_WERROR=ON) ;;
  asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DOKUVA_WERROR=ON -DOKUVA_SANITIZE=ON -DOKUVA_BUILD_BENCH=OFF
              -DOKUVA_BUILD_DOCS=OFF) ;;
  # The programs, library and documents that the Debian package installs under /usr.
  package) flags=(-DCMAKE_BUILD_TYPE=Release -DOKUVA_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr
                  -DOKUVA_BUILD_TESTS=OFF -DOKUVA_BUILD_BENCH=OFF) ;;
  *) echo "unknown build kind: $kind" >&2; exit 1 ;;
esac
cmake -S . -B "build/$kind" -G Ninja "${flags[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "build/$kind" "${targets[@]}"
