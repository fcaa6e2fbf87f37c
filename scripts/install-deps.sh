#!/usr/bin/env bash
# Installs what building and testing the project needs on Debian 12. The one list is
# debian/control's Build-Depends (what only the tests need is marked <!nocheck>); beside it
# only the tools that neither the build nor the package's tests use: the developer build's
# generator, the fuzzers' compiler, the formatter, the demo's virtual display, Qt's Wayland
# plugin for the demo on a Wayland desktop and the packages' checkers. With --build-only, the build dependencies alone (scripts/package.sh).
# Safe to run again: it asks apt only when something is missing, and waits while another apt
# (unattended-upgrades on a freshly booted machine) holds the package database.
set -euo pipefail
cd "$(dirname "$0")/.."

extras=(
    ninja-build ccache clang libclang-rt-14-dev clang-format qt6-tools-dev-tools
    xvfb xauth imagemagick qt6-wayland
    lintian autopkgtest
)
[ "${1:-}" = --build-only ] && extras=()

missing=()
for p in "${extras[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
builddeps_met=0
if command -v dpkg-checkbuilddeps >/dev/null && dpkg-checkbuilddeps >/dev/null 2>&1; then
    builddeps_met=1
fi
if [ "$builddeps_met" -eq 1 ] && [ ${#missing[@]} -eq 0 ]; then
    echo "All packages present."
    exit 0
fi

SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)
export DEBIAN_FRONTEND=noninteractive
wait_lock=(-o DPkg::Lock::Timeout=300)

# apt-get update takes the lists' lock, which the option above does not wait for.
for try in $(seq 60); do
    "${SUDO[@]}" apt-get "${wait_lock[@]}" update && break
    [ "$try" -lt 60 ] || exit 1
    echo "apt-get update failed (another apt at work?); trying again in 5 s" >&2
    sleep 5
done
if [ "$builddeps_met" -eq 0 ]; then
    "${SUDO[@]}" apt-get "${wait_lock[@]}" build-dep -y --no-install-recommends ./
fi
if [ ${#missing[@]} -gt 0 ]; then
    "${SUDO[@]}" apt-get "${wait_lock[@]}" install -y --no-install-recommends "${missing[@]}"
fi
