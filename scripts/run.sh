#!/usr/bin/env bash
# The README's first command: installs what is needed, builds, starts the device simulator on
# 127.0.0.1 with a generated sample update set, and launches the program.
# It never starts a transfer: the operator opens the sample and points the link at the
# simulator (see README). Both run in a network namespace of their own with only loopback up,
# so that Start with the window's default address, the factory address 192.168.0.1, reaches
# nothing: no device on this machine's network is ever contacted from the demo. Where no such
# namespace can be made, it says so and asks before using the machine's own network.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BUILD_DIR:-build/app}
demo=${DEMO_DIR:-$PWD/$dir/demo}
port=${SIM_PORT:-8023}

# The demo itself, run inside the namespace (or, if the operator agreed, outside it).
if [ "${1:-}" = --demo ]; then
    socket="$demo/qf580-sim.sock"
    "$dir/bin/qf580-sim" --port "$port" --usb --usb-socket "$socket" &
    sim=$!
    trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT

    echo
    echo "Simulator running on 127.0.0.1:$port (and USB through the stand-in driver)."
    echo "Sample update set: $demo/FW0001.q58 (two disks)"
    echo "In the program: File > Open the sample, then Settings > Communication settings:"
    echo "  TCP/IP with IP Address 127.0.0.1 and port $port, or USB. Then press Start."
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
    exit
fi

scripts/install-deps.sh
scripts/build.sh "$dir" -DQF_BUILD_TESTS=OFF
mkdir -p "$demo"
"$dir/bin/qf580-sim" --make-sample "$demo" --rom SUB --disks 2 --records 300 >/dev/null
export BUILD_DIR=$dir DEMO_DIR=$demo SIM_PORT=$port

# Why the demo cannot run in a private network here; empty when it can.
problem=""
if ! scripts/in-private-net.sh true 2>/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then
        problem="no private network namespace can be made here (unshare -n failed)."
    else
        problem="this user may not make a private network namespace (unshare -rn failed; run
the script as root, or allow unprivileged user namespaces)."
    fi
elif [ -z "${WAYLAND_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ]; then
    # A display on a Unix socket (":0", "unix:0") is a file the namespace sees too; one
    # reached over TCP ("localhost:10.0" of ssh -X, "host:0") lies outside its network.
    number=$(sed -n 's/^\(unix\)\{0,1\}:\([0-9][0-9]*\)\(\.[0-9]*\)\{0,1\}$/\2/p' <<<"$DISPLAY")
    if [ -z "$number" ]; then
        problem="the display DISPLAY=$DISPLAY is reached over TCP/IP, which a private
network namespace cannot reach (a local display on a Unix socket, DISPLAY=:N, can)."
    elif [ ! -S "/tmp/.X11-unix/X$number" ]; then
        problem="the display DISPLAY=$DISPLAY has no Unix socket /tmp/.X11-unix/X$number,
so a private network namespace cannot reach it."
    fi
fi

if [ -z "$problem" ]; then
    echo "The simulator and the window run in a private network with only loopback (127.0.0.1):"
    echo "Start with any other address reaches nothing."
    exec scripts/in-private-net.sh "$PWD/scripts/run.sh" --demo
fi

cat <<MSG

The demo cannot run in a private network:
$problem

It can run on this machine's own network instead. There, Start with the window's default
address 192.168.0.1 sends a connection to whatever answers at that address on the network.
Set IP Address to 127.0.0.1 in Settings > Communication settings before pressing Start.
MSG
answer=n
if [ -t 0 ]; then
    read -r -p "Start the demo on this machine's network? [y/N] " answer || answer=n
else
    echo "No terminal to ask on: not started."
fi
case $answer in
    y | Y | yes | YES) exec "$PWD/scripts/run.sh" --demo ;;
    *)
        echo "Not started."
        exit 1
        ;;
esac
