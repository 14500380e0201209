#!/usr/bin/env bash
# Installs what OKUVA needs to build, test and run on Debian 12. Idempotent.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libturbojpeg0-dev libjpeg62-turbo-dev libpng-dev libopenjp2-7-dev libjpeg-turbo-progs libv4l-dev qt6-base-dev
  qt6-translations-l10n xvfb xauth openbox xdotool x11-utils mate-backgrounds jq)
# bench/whole_process.sh crops the photograph and converts it to PNG with netpbm.
packages+=(netpbm)
# The package, its manual pages and icons, and the checks of its desktop files.
packages+=(help2man librsvg2-bin dpkg-dev fakeroot file lintian appstream desktop-file-utils)
# The formatting check of changed C++ lines (scripts/check_format.sh).
packages+=(clang-format-16)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
