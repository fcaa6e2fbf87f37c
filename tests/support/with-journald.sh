#!/usr/bin/env bash
# Runs a command beside a systemd-journald of its own and leaves that journal's files in a
# folder, for tests that read back what was sent to the journal:
#   with-journald.sh [--no-journald] DIR COMMAND...
# The journald runs as a plain process in a mount namespace of its own, with empty file
# systems over /run/systemd, /run/log and /var/log, so the machine's own journal is never
# touched. --no-journald leaves the socket missing: a machine without a journal.
# Exits with the command's code; 77 (and why, on standard error) when no mount namespace can
# be made here, 70 when the journald does not start.
set -euo pipefail
if [ "${1:-}" != --inside ]; then
    if ! unshare -m --propagation private true 2>/dev/null; then
        echo "with-journald.sh: cannot create a mount namespace here (needs root or user namespaces)" >&2
        exit 77
    fi
    exec unshare -m --propagation private "$0" --inside "$@"
fi
shift
journald=yes
if [ "$1" = --no-journald ]; then
    journald=no
    shift
fi
out=$1
shift
for dir in /run/systemd /run/log /var/log; do
    mount -t tmpfs -o mode=0755 tmpfs "$dir"
done
mkdir -p /run/systemd/journal
if [ $journald = no ]; then
    exec "$@"
fi
# Outside systemd it is told of nothing and tells nothing.
unset NOTIFY_SOCKET WATCHDOG_PID WATCHDOG_USEC LISTEN_FDS LISTEN_PID
/lib/systemd/systemd-journald </dev/null >/dev/null 2>&1 &
pid=$!
stop() { kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; }
trap stop EXIT
for _ in $(seq 100); do
    [ -S /run/systemd/journal/socket ] && break
    sleep 0.05
done
if [ ! -S /run/systemd/journal/socket ]; then
    echo "with-journald.sh: systemd-journald did not start" >&2
    exit 70
fi
rc=0
"$@" || rc=$?
# Closed on its way out: the files copied are whole.
stop
trap - EXIT
mkdir -p "$out"
cp -r /run/log/journal/. "$out"/
exit $rc
