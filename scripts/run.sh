#!/usr/bin/env bash
# Installs, builds and starts the capture station window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release
exec build/release/app/okuva "$@"
