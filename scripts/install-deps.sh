#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Installs what the filter needs to build, run and be tested, from Debian's
# packages. Run as root; a machine that already has everything is left as is.
# Every name is one that Debian 12, 13 and unstable all have (the packages
# that follow the release's default version, such as g++ and libclang-rt-dev,
# rather than a numbered one).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libcups2-dev libusb-1.0-0-dev libgtest-dev
  cups cups-daemon cups-client cups-ppdc cups-filters cups-filters-core-drivers cups-core-drivers
  qpdf poppler-utils ghostscript
  libpappl-dev libpam0g-dev cups-ipp-utils
  iproute2 util-linux
  clang libclang-rt-dev clang-format
  chromium chromium-driver python3-selenium
  man-db dpkg-dev
  debhelper lintian
  valgrind
  # The base tools that the scripts and tests run (scripts/check-deps.sh
  # checks that every program they start comes from a package named here).
  apt bash binutils coreutils dash diffutils dpkg findutils g++ git grep libc-bin mawk mount passwd procps python3-minimal sed systemd tar
  # scripts/test-release.sh: a root file system of another Debian release.
  mmdebstrap
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
