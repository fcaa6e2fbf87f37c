#!/usr/bin/env bash
# Runs a command in a network namespace of its own with only loopback up, so nothing it
# starts can reach any address but 127.0.0.1.
#
# Where the kernel makes no namespace (a normal user in a chroot, as package builders build),
# this fails, unless --or-skip-socket-tests comes first: then the command runs as it is. That
# is only for a run of the project's tests: every test that opens sockets skips itself where
# the network holds more than loopback (tests/CMakeLists.txt), and the others open none.
set -euo pipefail
fallback=0
if [ "${1:-}" = --or-skip-socket-tests ]; then
    fallback=1
    shift
fi
unshare=(unshare -n)
[ "$(id -u)" -eq 0 ] || unshare=(unshare -rn)

if ! why=$("${unshare[@]}" true 2>&1); then
    if [ "$fallback" -eq 0 ]; then
        echo "in-private-net.sh: no network namespace can be made here: ${why:-${unshare[*]} failed}" >&2
        exit 1
    fi
    echo "in-private-net.sh: no network namespace can be made here (${why:-${unshare[*]} failed});" \
        "running without one: the tests that open sockets are skipped" >&2
    exec "$@"
fi
exec "${unshare[@]}" sh -c 'ip link set lo up && exec "$@"' sh "$@"
