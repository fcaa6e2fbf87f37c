#!/usr/bin/env bash
# The README's test command: installs what is needed, builds, and runs every test inside a
# private network namespace. Extra arguments go to cmake (e.g. -DQF_SANITIZE=address).
# BUILD_DIR picks the build tree (default build/test).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=${BUILD_DIR:-build/test}
scripts/build.sh "$dir" -DQF_WERROR="${QF_WERROR:-ON}" "$@"
export QT_QPA_PLATFORM=offscreen
scripts/in-private-net.sh ctest --test-dir "$dir" --output-on-failure --timeout 120 -j"$(nproc)"
