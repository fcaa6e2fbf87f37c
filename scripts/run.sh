#!/usr/bin/env bash
# The README's first command: installs what is needed, builds, starts the device simulator
# on 127.0.0.1 with a generated sample update set, and launches the program.
# It never starts a transfer: the operator opens the sample and points the link at the
# simulator (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=${BUILD_DIR:-build/app}
scripts/build.sh "$dir" -DQF_BUILD_TESTS=OFF

demo=${DEMO_DIR:-$PWD/$dir/demo}
mkdir -p "$demo"
"$dir/bin/qf580-sim" --make-sample "$demo" --rom SUB --disks 2 --records 300 >/dev/null
socket="$demo/qf580-sim.sock"
"$dir/bin/qf580-sim" --port "${SIM_PORT:-8023}" --usb --usb-socket "$socket" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT

echo
echo "Simulator running on 127.0.0.1:${SIM_PORT:-8023} (and USB through the stand-in driver)."
echo "Sample update set: $demo/FW0001.q58 (two disks)"
echo "In the program: File > Open the sample, then Settings > Communication settings:"
echo "  TCP/IP with IP Address 127.0.0.1 and port ${SIM_PORT:-8023}, or USB. Then press Start."
echo

# The stand-in driver is found through the system's loader for this run only; it is a
# test device, never installed beside the program.
export LD_LIBRARY_PATH="$PWD/$dir/standin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export QF580_SIM_SOCKET="$socket"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting the program under a virtual X server (xvfb-run)."
    xvfb-run -a -s "-screen 0 1024x768x24" "$dir/bin/qf580-flashtool"
else
    "$dir/bin/qf580-flashtool"
fi
