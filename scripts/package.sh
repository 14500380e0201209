#!/usr/bin/env bash
# Builds the Debian package build/package/okuva_<version>_<arch>.deb, then checks it
# with lintian. Install it with: apt install ./build/package/okuva_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh package
cd build/package
rm -f okuva_*.deb
cpack -G DEB >/dev/null
deb=$(ls okuva_*.deb)
echo "build/package/$deb"
# Errors fail the build; warnings are listed.
lintian --fail-on error "$deb"
