#!/usr/bin/env bash
# Builds the Debian packages with Debian's own tools (dpkg-buildpackage and debhelper, from
# debian/) into OUT_DIR (default out/):
#   qf580-flashtool_<version>_<arch>.deb      the window and the command line
#   qf580-flashtool-sim_<version>_<arch>.deb  the device simulator, for test stations
#   and their -dbgsym packages, the .buildinfo and the .changes.
# Install with: apt install ./out/qf580-flashtool_<version>_<arch>.deb
# First installs the build dependencies that debian/control names. The test suite is left
# to scripts/test.sh unless DEB_BUILD_OPTIONS says otherwise (set it, even empty, to run it
# in the build too).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${OUT_DIR:-out}
work=${BUILD_DIR:-build/deb}

scripts/install-deps.sh --build-only

export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS-nocheck}
case " $DEB_BUILD_OPTIONS " in
    *" parallel="*) ;;
    *) DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=$(nproc)" ;;
esac
# A rebuild after a small change costs little where ccache is at hand.
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

# dpkg-buildpackage writes beside the source tree: a clean copy of it, so that nothing lands
# outside this folder and nothing of a developer's build trees gets in.
rm -rf "$work"
src=$work/qf580-flashtool
mkdir -p "$src"
tar -C . --exclude=./.git --exclude='./build*' --exclude=./out --exclude='./obj-*' \
    --exclude=./debian/.debhelper --exclude=./debian/tmp --exclude=./debian/files \
    --exclude=./debian/qf580-flashtool --exclude=./debian/qf580-flashtool-sim -cf - . |
    tar -C "$src" -xf -
(cd "$src" && dpkg-buildpackage -us -uc -b)

mkdir -p "$out"
rm -f "$out"/qf580-flashtool*
cp "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes "$out"/
ls -1 "$out"/qf580-flashtool*
