#!/usr/bin/env bash
# Runs a command in a network namespace of its own with only loopback up, so nothing it
# starts can reach any address but 127.0.0.1.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    exec unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
