#!/usr/bin/env bash
# Builds the Debian packages from a clean build tree into OUT_DIR (default out/):
#   qf580-flashtool_<version>_<arch>.deb      the window and the command line
#   qf580-flashtool-sim_<version>_<arch>.deb  the device simulator, for test stations
# Install with: apt install ./out/qf580-flashtool_*.deb
# The compiler and linker flags are Debian's own (dpkg-buildflags, with every hardening
# feature), as for a package of the distribution. Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build/package}
out=${OUT_DIR:-out}

rm -rf "$dir"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CFLAGS CXXFLAGS LDFLAGS
# The changelog's and the metainfo's release date: the last commit's, so that the same
# commit always gives the same packages.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH

# The build type "None" adds no flags of its own to Debian's.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_STRIP="$PWD/packaging/debian-strip.sh" \
    -DQF_BUILD_TESTS=OFF -DQF_WERROR="${QF_WERROR:-ON}" "$@"
cmake --build "$dir" -j"$(nproc)"
cpack --config "$dir/CPackConfig.cmake" -B "$dir/cpack"

mkdir -p "$out"
rm -f "$out"/qf580-flashtool_*.deb "$out"/qf580-flashtool-sim_*.deb
cp "$dir"/cpack/*.deb "$out"/
ls -1 "$out"/*.deb
