#!/usr/bin/env bash
# Installs, builds and starts the capture station window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release okuva
exec build/release/app/okuva "$@"
