#!/usr/bin/env bash
# Installs everything the build, the program and the test suite need on Debian 12.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    clang libclang-rt-14-dev clang-format
    qt6-base-dev qt6-base-dev-tools qt6-tools-dev-tools qt6-translations-l10n libgl-dev
    qt6-wayland
    libcli11-dev libssl-dev libgtest-dev libgmock-dev googletest nlohmann-json3-dev python3-jsonschema
    xvfb xauth imagemagick fonts-noto-cjk fonts-dejavu-core fonts-liberation
    iproute2 util-linux bsdutils
    dpkg-dev lintian desktop-file-utils appstream man-db groff-base
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "All packages present."
    exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
