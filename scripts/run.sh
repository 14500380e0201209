#!/usr/bin/env bash
# Installs, builds and starts the capture station window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release okuva
# A machine without any video device still shows a working window, on the simulated
# camera (marked as such on the live picture); OKUVA_CAMERA chooses otherwise.
if [ -z "${OKUVA_CAMERA:-}" ] && ! compgen -G '/dev/video*' >/dev/null; then
  export OKUVA_CAMERA=simulated
  echo "okuva: no video capture device (/dev/video*) found; using the simulated camera"
fi
exec build/release/app/okuva "$@"
