#!/usr/bin/env bash
# The speed benchmark: how close a transfer through qf580-flash (and through the window) comes
# to the protocol's own floor, measured against a bare sender of the same protocol
# (bench/baseline_sender.c) on the same simulator and the same update set, the two in turn.
#
# Usage: scripts/bench.sh [--pairs N] [--sizes "4 32"] [--no-window] [--no-progress]
#                         [--no-devices] [--no-silence] [--no-syscalls] [--no-station]
#                         [--no-journal]
#   --pairs N      measured pairs per row after one warm-up pair (default 7)
#   --sizes LIST   set sizes in MB for the command-line rows (default "4 32")
#   --no-window    leave out the row through the window's worker host
#   --no-progress  leave out the rows with the progress line on against off
#   --no-devices   leave out the row of 16 devices at once against one (4 MB set each)
#   --no-silence   leave out the 15 s wait on a silent device
#   --no-syscalls  leave out the system calls per transfer (strace -c -f; needs strace)
#   --no-station   leave out the station rows: 100 units through one --loop against 100 runs,
#                  and a session's start on a record of 1,000,000 lines
#   --no-journal   leave out the row of --journal against none (4 MB set); with it, every row
#                  runs beside a systemd-journald of the benchmark's own
#                  (tests/support/with-journald.sh), never the machine's
# BUILD_DIR picks the Release build tree (default build/bench); the sets are written under it.
#
# Everything that talks to the simulator runs inside a private network namespace with only
# loopback up (scripts/in-private-net.sh); the simulator listens on 127.0.0.1 only.
#
# A row is one call of bench_pairs; new rows (more devices, other options) add a command
# array and a call, the pairing, medians, ratios and targets stay in that one function.
set -euo pipefail
cd "$(dirname "$0")/.."

all_args=("$@")
pairs=7
sizes="4 32"
window=1
progress=1
devices=1
silence=1
syscalls=1
station=1
journal=1
while [ $# -gt 0 ]; do
    case $1 in
        --pairs) pairs=$2; shift 2 ;;
        --sizes) sizes=$2; shift 2 ;;
        --no-window) window=0; shift ;;
        --no-progress) progress=0; shift ;;
        --no-devices) devices=0; shift ;;
        --no-silence) silence=0; shift ;;
        --no-syscalls) syscalls=0; shift ;;
        --no-station) station=0; shift ;;
        --no-journal) journal=0; shift ;;
        *) echo "usage: scripts/bench.sh [--pairs N] [--sizes \"4 32\"] [--no-window]" \
                "[--no-progress] [--no-devices] [--no-silence] [--no-syscalls] [--no-station]" \
                "[--no-journal]" >&2
           exit 2 ;;
    esac
done

dir=${BUILD_DIR:-build/bench}
bin=$PWD/$dir/bin
sets=$PWD/$dir/sets

# ---------------------------------------------------------------- outside: build and sets
if [ -z "${QF_BENCH_INSIDE:-}" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQF_BUILD_TESTS=OFF \
        -DQF_BUILD_GUI=ON -DQF_BENCH=ON >/dev/null
    targets=(qf580-flash qf580-sim qf580-baseline qf580-bench-measure)
    [ "$window" = 0 ] || targets+=(qf580-bench-window)
    cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"

    # MAIN ROM sets (one pass) of random records of 1 to 255 words, about 258 bytes each.
    make_set() {  # NAME BYTES
        mkdir -p "$sets/$1"
        "$bin/qf580-sim" --make-sample "$sets/$1" --rom MAIN --records $(($2 / 258)) \
            --name BENCH000.q58 >/dev/null
    }
    make_set 32KB $((32 * 1024))
    for mb in $sizes; do
        make_set "${mb}MB" $((mb * 1024 * 1024))
    done
    if [ "$window" = 1 ] || [ "$devices" = 1 ] || [ "$journal" = 1 ]; then
        make_set 4MB $((4 * 1024 * 1024))
    fi
    # A transfer reads a disk again at its open unless the file had been left alone for 3 s
    # when the check opened it, as a set copied a moment before a run is. A station flashes a
    # set copied long before: so do the rows.
    sleep 4
    beside=()
    if [ "$journal" = 1 ]; then
        rm -rf "$PWD/$dir/journal"
        beside=(tests/support/with-journald.sh "$PWD/$dir/journal")
    fi
    exec env QF_BENCH_INSIDE=1 scripts/in-private-net.sh "${beside[@]}" "$0" "${all_args[@]}"
fi

# ---------------------------------------------------------------- inside the namespace
work=$(mktemp -d)
sim_pids=()  # every simulator serving the rows
row_sim_pid=  # a simulator of one row only, stopped after it
cleanup() {
    for pid in "${sim_pids[@]}" $row_sim_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

measure=$bin/qf580-bench-measure
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=$work

# Starts a simulator of DEVICES devices on free ports and waits until every one of them
# listens; sets $started_pid, $started_ports (in the simulator's order) and $started_port
# (the first).
start_sim() {  # LOG DEVICES [sim options...]
    local log=$1 count=$2
    shift 2
    # Made here, not by the background start, so that the first look below finds it.
    : >"$log"
    "$bin/qf580-sim" --port 0 --devices "$count" "$@" >"$log" 2>&1 &
    started_pid=$!
    started_ports=()
    started_port=
    for _ in $(seq 100); do
        mapfile -t started_ports < <(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
        if [ "${#started_ports[@]}" -ge "$count" ]; then
            started_port=${started_ports[0]}
            return 0
        fi
        sleep 0.05
    done
    echo "the simulator did not start:" >&2
    cat "$log" >&2
    exit 1
}

median() {
    printf '%s\n' "$@" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
maximum() {
    printf '%s\n' "$@" | sort -g | tail -n 1
}
fmt() {  # FORMAT NUMBER
    awk -v f="$1" -v x="$2" 'BEGIN { printf f, x }'
}
mib() {  # KiB -> MiB, one decimal
    fmt "%.1f" "$(awk -v k="$1" 'BEGIN { print k / 1024 }')"
}

summary_names=() summary_lines=()
# Records one target's verdict: NAME VALUE LIMIT (met when VALUE <= LIMIT).
judge() {
    local verdict
    verdict=$(awk -v v="$2" -v l="$3" 'BEGIN { print (v <= l) ? "met" : "NOT MET" }')
    summary_names+=("$1")
    summary_lines+=("$(printf '%8s <= %-6s %s' "$2" "$3" "$verdict")")
}

# One measured run: fills run_wall run_cpu run_rss run_sim run_iwall run_icpu. run_sim is the
# CPU of the simulators in sim_pids (a row with several devices starts more and adds them).
# The token @TIMES@ in a command becomes the file in which it may report its own transfer
# times ("WALL CPU"); run_iwall is empty when it doesn't.
run_once() {  # SET COMMAND...
    local set=$1
    shift
    local inner=$work/inner args=() line code
    for a in "$@"; do
        args+=("${a//@TIMES@/$inner}")
    done
    local sims=()
    for pid in "${sim_pids[@]}"; do
        sims+=(--sim "$pid")
    done
    rm -f "$inner"
    line=$("$measure" "${sims[@]}" -- "${args[@]}" "$set" 2>"$work/stderr")
    read -r run_wall user sys run_rss code run_sim <<<"$line"
    if [ "$code" != 0 ]; then
        echo "failed (exit $code): ${args[*]} $set" >&2
        cat "$work/stderr" >&2
        for log in "$work/sim.log" "$work/devices.log"; do
            [ ! -e "$log" ] || tail -n 3 "$log" >&2
        done
        exit 1
    fi
    run_cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.6f", u + s }')
    run_iwall=
    run_icpu=
    if [ -s "$inner" ]; then
        read -r run_iwall run_icpu <"$inner"
    fi
}

# The benchmark's one row: a warm-up pair, then PAIRS pairs A B A B ...; prints the medians
# of wall, CPU, peak memory and simulator CPU per MB of each side, and the ratios A/B pair
# by pair with their median. TARGETS are wall=X and/or cpu=Y: limits on the median ratio;
# a-sets=N says that A sends the set N times (to N devices), so that the simulator's CPU is
# per MB it received.
# Leaves the peak memory of A's runs (KiB, the largest) in row_a_rss.
bench_pairs() {  # TITLE SET A_NAME A_ARRAY B_NAME B_ARRAY [TARGET...]
    local title=$1 set=$2 a_name=$3 b_name=$5
    local -n a_cmd=$4
    local -n b_cmd=$6
    shift 6
    local -a aw=() ac=() ar=() as=() aiw=() aic=() bw=() bc=() br=() bs=() biw=() bic=()
    local -a rw=() rc=() riw=() ric=()
    local bytes mb i a_sets=1 target
    bytes=$(stat -c %s "$set")
    mb=$(awk -v b="$bytes" 'BEGIN { print b / 1048576 }')
    for target in "$@"; do
        case $target in a-sets=*) a_sets=${target#a-sets=} ;; esac
    done

    run_once "$set" "${a_cmd[@]}"
    run_once "$set" "${b_cmd[@]}"
    for ((i = 0; i < pairs; ++i)); do
        run_once "$set" "${a_cmd[@]}"
        aw+=("$run_wall") ac+=("$run_cpu") ar+=("$run_rss") as+=("$run_sim")
        aiw+=("$run_iwall") aic+=("$run_icpu")
        run_once "$set" "${b_cmd[@]}"
        bw+=("$run_wall") bc+=("$run_cpu") br+=("$run_rss") bs+=("$run_sim")
        biw+=("$run_iwall") bic+=("$run_icpu")
        rw+=("$(awk -v a="${aw[i]}" -v b="${bw[i]}" 'BEGIN { printf "%.3f", a / b }')")
        rc+=("$(awk -v a="${ac[i]}" -v b="${bc[i]}" 'BEGIN { printf "%.3f", a / b }')")
        if [ -n "${aiw[i]}" ] && [ -n "${biw[i]}" ]; then
            riw+=("$(awk -v a="${aiw[i]}" -v b="${biw[i]}" 'BEGIN { printf "%.3f", a / b }')")
            ric+=("$(awk -v a="${aic[i]}" -v b="${bic[i]}" 'BEGIN { printf "%.3f", a / b }')")
        fi
    done

    echo
    echo "== $title: $(fmt "%.2f" "$mb") MB ($bytes bytes), $pairs pairs after a warm-up pair"
    printf '   %-22s %10s %10s %9s %14s\n' "median of $pairs" "wall s" "cpu s" "peak MB" "sim cpu s/MB"
    local name w c r s n
    for side in a b; do
        if [ $side = a ]; then
            name=$a_name w=$(median "${aw[@]}") c=$(median "${ac[@]}") r=$(maximum "${ar[@]}")
            s=$(median "${as[@]}") n=$a_sets
        else
            name=$b_name w=$(median "${bw[@]}") c=$(median "${bc[@]}") r=$(maximum "${br[@]}")
            s=$(median "${bs[@]}") n=1
        fi
        printf '   %-22s %10s %10s %9s %14s\n' "$name" "$(fmt "%.4f" "$w")" "$(fmt "%.4f" "$c")" \
            "$(mib "$r")" \
            "$(fmt "%.4f" "$(awk -v s="$s" -v m="$mb" -v n="$n" 'BEGIN { print s / (m * n) }')")"
    done
    row_a_rss=$(maximum "${ar[@]}")
    printf '   %-22s %s   median %s\n' "wall A/B pair by pair" "${rw[*]}" "$(median "${rw[@]}")"
    printf '   %-22s %s   median %s\n' "cpu  A/B pair by pair" "${rc[*]}" "$(median "${rc[@]}")"
    if [ ${#riw[@]} -gt 0 ]; then
        echo "   transfer only (each program's own clock, from Start / program start to the end):"
        printf '   %-22s %10s %10s\n' "$a_name" "$(fmt "%.4f" "$(median "${aiw[@]}")")" \
            "$(fmt "%.4f" "$(median "${aic[@]}")")"
        printf '   %-22s %10s %10s\n' "$b_name" "$(fmt "%.4f" "$(median "${biw[@]}")")" \
            "$(fmt "%.4f" "$(median "${bic[@]}")")"
        printf '   %-22s %s   median %s\n' "wall A/B pair by pair" "${riw[*]}" "$(median "${riw[@]}")"
        printf '   %-22s %s   median %s\n' "cpu  A/B pair by pair" "${ric[*]}" "$(median "${ric[@]}")"
    fi
    for target in "$@"; do
        case $target in
            wall=*) judge "$title: wall $a_name / $b_name (median)" "$(median "${rw[@]}")" "${target#wall=}" ;;
            cpu=*) judge "$title: cpu $a_name / $b_name (median)" "$(median "${rc[@]}")" "${target#cpu=}" ;;
        esac
    done
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet 2>/dev/null || echo ' (with local changes)')"

start_sim "$work/sim.log" 1
sim_pids=("$started_pid")
port=$started_port
echo "simulator: 127.0.0.1:$port"

flash=("$bin/qf580-flash" --address 127.0.0.1 --port "$port" --disk-answer cancel)
baseline=("$bin/qf580-baseline" --port "$port")
baseline_timed=("$bin/qf580-baseline" --port "$port" --times @TIMES@)
window_host=("$bin/qf580-bench-window" --port "$port" --times @TIMES@)

rss_32mb=
for mb in $sizes; do
    bench_pairs "${mb} MB set, command line" "$sets/${mb}MB/BENCH001.q58" \
        qf580-flash flash baseline baseline wall=1.03 cpu=1.3
    [ "$mb" != 32 ] || rss_32mb=$row_a_rss
done

# System calls per transfer, output to a file: unlike the times, a count that does not move
# with the machine's load. Each side's median of three runs under strace -c -f (every thread).
calls_of() {  # SET COMMAND...: prints the median of three runs' total system calls
    local set=$1 counts=() _
    shift
    for _ in 1 2 3; do
        strace -f -c -o "$work/strace" "$@" "$set" >"$work/calls.out" 2>"$work/calls.err" || {
            echo "failed under strace: $* $set" >&2
            cat "$work/calls.err" >&2
            exit 1
        }
        counts+=("$(awk '$NF == "total" { print $4 }' "$work/strace")")
    done
    median "${counts[@]}"
}
if [ "$syscalls" = 1 ] && ! command -v strace >/dev/null; then
    echo
    echo "== system calls: left out, strace is not installed (apt-get install strace)"
    syscalls=0
fi
if [ "$syscalls" = 1 ]; then
    for mb in $sizes; do
        set_file=$sets/${mb}MB/BENCH001.q58
        bare=$(calls_of "$set_file" "${baseline[@]}")
        plain=$(calls_of "$set_file" "${flash[@]}")
        json=$(calls_of "$set_file" "${flash[@]}" --json)
        plain_ratio=$(fmt "%.3f" "$(awk -v a="$plain" -v b="$bare" 'BEGIN { print a / b }')")
        json_ratio=$(fmt "%.3f" "$(awk -v a="$json" -v b="$bare" 'BEGIN { print a / b }')")
        echo
        echo "== ${mb} MB set, system calls per transfer (strace -c -f, output to a file, median of 3)"
        printf '   %-22s %10s %8s\n' qf580-baseline "$bare" ""
        printf '   %-22s %10s %8s\n' qf580-flash "$plain" "${plain_ratio}x"
        printf '   %-22s %10s %8s\n' "qf580-flash --json" "$json" "${json_ratio}x"
        judge "${mb} MB set: system calls qf580-flash / baseline" "$plain_ratio" 1.15
        judge "${mb} MB set: system calls --json / baseline" "$json_ratio" 1.3
    done
    # A device on a network answers after its round trip, not at once as the simulator on
    # loopback does: the reply is not there yet when the program first looks for it.
    start_sim "$work/answers-late.log" 1 --delay-ms 1
    row_sim_pid=$started_pid
    set_file=$sets/4MB/BENCH001.q58
    bare=$(calls_of "$set_file" "$bin/qf580-baseline" --port "$started_port")
    plain=$(calls_of "$set_file" "$bin/qf580-flash" --address 127.0.0.1 --port "$started_port" \
        --disk-answer cancel)
    plain_ratio=$(fmt "%.3f" "$(awk -v a="$plain" -v b="$bare" 'BEGIN { print a / b }')")
    kill "$row_sim_pid" 2>/dev/null || true
    wait "$row_sim_pid" 2>/dev/null || true
    row_sim_pid=
    echo
    echo "== 4 MB set, a device that answers after 1 ms, system calls per transfer (median of 3)"
    printf '   %-22s %10s %8s\n' qf580-baseline "$bare" ""
    printf '   %-22s %10s %8s\n' qf580-flash "$plain" "${plain_ratio}x"
    judge "4 MB set, answers after 1 ms: system calls qf580-flash / baseline" "$plain_ratio" 1.15
fi

# The progress line against none, the same program on both sides. On a terminal both run on
# a pseudo-terminal of script(1), so that the line is the only difference; to a log, the lines
# of --progress against the status lines alone.
if [ "$progress" = 1 ]; then
    printf '%s\n' '#!/usr/bin/env bash' 'exec script -qec "$(printf "%q " "$@")" /dev/null' \
        >"$work/on-terminal"
    chmod +x "$work/on-terminal"
    line_on=("$work/on-terminal" "${flash[@]}")
    line_off=("$work/on-terminal" "${flash[@]}" --no-progress)
    log_on=("${flash[@]}" --progress)
    for mb in $sizes; do
        bench_pairs "${mb} MB set, progress line on a terminal" "$sets/${mb}MB/BENCH001.q58" \
            line-on line_on line-off line_off
        bench_pairs "${mb} MB set, progress lines to a log" "$sets/${mb}MB/BENCH001.q58" \
            --progress log_on no-option flash
    done
fi

# Several devices at once: 16 transfers of one process against one simulator of 16 devices,
# and one device of that same simulator through the same program with the same options in
# turn. Both run as a user would: fast transfer and the set check before any device is
# contacted (read once per run, whatever the number of devices), progress off (the output is
# not a terminal). The simulator is counted from here on; the first one is idle meanwhile.
if [ "$devices" = 1 ]; then
    start_sim "$work/devices.log" 16
    sim_pids+=("$started_pid")
    one_device=("$bin/qf580-flash" --address "127.0.0.1:$started_port" --disk-answer cancel)
    all_devices=("$bin/qf580-flash" --disk-answer cancel)
    for p in "${started_ports[@]}"; do
        all_devices+=(--address "127.0.0.1:$p")
    done
    bench_pairs "4 MB set, 16 devices at once" "$sets/4MB/BENCH001.q58" \
        16-devices all_devices 1-device one_device wall=1.25 a-sets=16
    if [ "$syscalls" = 1 ]; then
        # The output's cost per device does not grow with their number.
        one=$(calls_of "$sets/4MB/BENCH001.q58" "${one_device[@]}")
        all=$(calls_of "$sets/4MB/BENCH001.q58" "${all_devices[@]}")
        per_device=$(awk -v a="$all" 'BEGIN { printf "%.0f", a / 16 }')
        ratio=$(fmt "%.3f" "$(awk -v a="$per_device" -v b="$one" 'BEGIN { print a / b }')")
        echo "   system calls (strace -c -f, median of 3): 1 device $one," \
            "16 devices $all, $per_device per device (${ratio}x)"
        judge "16 devices: system calls per device / 1 device" "$ratio" 1.1
    fi
fi

# Each line of the record as a journal entry against none: one datagram per device's begin and
# end. A journal that could not be reached would fail the run (exit 3).
if [ "$journal" = 1 ]; then
    with_journal=("${flash[@]}" --journal)
    bench_pairs "4 MB set, --journal" "$sets/4MB/BENCH001.q58" \
        --journal with_journal no-option flash wall=1.03
fi

if [ "$window" = 1 ]; then
    bench_pairs "4 MB set, window (offscreen)" "$sets/4MB/BENCH001.q58" \
        window window_host baseline baseline_timed
fi

# Peak memory does not grow with the set: the records stream through fixed buffers.
if [ -n "$rss_32mb" ]; then
    small=()
    for _ in 1 2 3; do
        run_once "$sets/32KB/BENCH001.q58" "${flash[@]}"
        small+=("$run_rss")
    done
    rss_32kb=$(maximum "${small[@]}")
    echo
    echo "== peak memory of qf580-flash: 32 KB set $(mib "$rss_32kb") MB, 32 MB set $(mib "$rss_32mb") MB"
    judge "peak memory: 32 MB set minus 32 KB set, MB" \
        "$(mib $((rss_32mb > rss_32kb ? rss_32mb - rss_32kb : rss_32kb - rss_32mb)))" 1
fi

# The worker waiting on a device that has gone silent: production time limits (5 s readiness
# wait and 10 s read), so about 15 s in which the program should use no CPU at all.
if [ "$silence" = 1 ]; then
    start_sim "$work/silent.log" 1 --once --fault silence:ack:1:1
    row_sim_pid=$started_pid
    line=$("$measure" -- "$bin/qf580-flash" --address 127.0.0.1 --port "$started_port" \
        --disk-answer cancel "$sets/32KB/BENCH001.q58")
    read -r wall user sys _ code _ <<<"$line"
    echo
    echo "== silent device: qf580-flash waited $(fmt "%.2f" "$wall") s (exit $code, 20 expected):" \
        "user $(fmt "%.3f" "$user") s, sys $(fmt "%.3f" "$sys") s"
    judge "silent device: user s (0.0 at one decimal)" "$(fmt "%.3f" "$user")" 0.049
    judge "silent device: sys s (0.0 at one decimal)" "$(fmt "%.3f" "$sys")" 0.049
    wait "$row_sim_pid" 2>/dev/null || true
    row_sim_pid=
fi

# A station's shift: 100 units through one --loop session (the set checked once, one record
# kept open) against 100 separate runs of the same units with their own --serial and the same
# record; a unit in a session should cost no more than a single run. Then the start of a
# session on a record of a year of a line's attempts: 1,000,000 lines to index for serials
# flashed before.
if [ "$station" = 1 ]; then
    set32=$sets/32KB/BENCH001.q58
    units=100
    seq -f 'UNIT-%05g' 1 "$units" >"$work/serials"
    rm -f "$work/session.jsonl" "$work/runs.jsonl"
    start=$(date +%s.%N)
    "$bin/qf580-flash" --loop --address 127.0.0.1 --port "$port" --disk-answer cancel \
        --record "$work/session.jsonl" --retry-delay 0 "$set32" <"$work/serials" >/dev/null
    session_s=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.4f", b - a }')
    start=$(date +%s.%N)
    while read -r serial; do
        "$bin/qf580-flash" --address 127.0.0.1 --port "$port" --disk-answer cancel \
            --record "$work/runs.jsonl" --serial "$serial" "$set32" >/dev/null
    done <"$work/serials"
    runs_s=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.4f", b - a }')
    per_session=$(awk -v s="$session_s" -v n="$units" 'BEGIN { printf "%.4f", s / n }')
    per_run=$(awk -v s="$runs_s" -v n="$units" 'BEGIN { printf "%.4f", s / n }')
    echo
    echo "== station: $units units of the 32 KB set, one --loop session against $units runs"
    printf '   %-22s %10s %12s\n' "" "wall s" "s per unit"
    printf '   %-22s %10s %12s\n' "--loop session" "$session_s" "$per_session"
    printf '   %-22s %10s %12s\n' "separate runs" "$runs_s" "$per_run"
    judge "station: s per unit, --loop / separate runs" \
        "$(awk -v a="$per_session" -v b="$per_run" 'BEGIN { printf "%.3f", a / b }')" 1

    # Half begin, half end lines as a station writes them, every unit completed once.
    big=$work/year.jsonl
    python3 - "$work/session.jsonl" "$big" <<'PY'
import re, sys
begin, end = open(sys.argv[1]).read().splitlines()[:2]
serial = re.search(r'"serial":"([^"]*)"', begin).group(1)
with open(sys.argv[2], "w") as out:
    for i in range(500000):
        attempt = '"attempt":"%032x"' % i
        for line in (begin, end):
            line = re.sub(r'"attempt":"[0-9a-f]*"', attempt, line)
            out.write(line.replace('"' + serial + '"', '"YEAR-%d"' % i) + "\n")
PY
    lines=$(wc -l <"$big")
    start=$(date +%s.%N)
    "$bin/qf580-flash" --loop --address 127.0.0.1 --port "$port" --disk-answer cancel \
        --record "$big" "$set32" </dev/null >/dev/null
    index_s=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
    echo
    echo "== station: a session's start on a record of $lines lines ($(($(stat -c %s "$big") / 1048576)) MB):" \
        "$index_s s to the first serial"
    judge "station: s to index a record of 1,000,000 lines" "$index_s" 3
fi

echo
sim_logs=("$work/sim.log")
[ ! -e "$work/devices.log" ] || sim_logs+=("$work/devices.log")
echo "== simulator: $(cat "${sim_logs[@]}" | grep -c ', complete$') transfers complete," \
    "$(cat "${sim_logs[@]}" | grep -c 'stopped') stopped (every measured and warm-up run should complete)"

echo
echo "== targets"
width=0
for name in "${summary_names[@]}"; do
    [ "${#name}" -le "$width" ] || width=${#name}
done
for i in "${!summary_names[@]}"; do
    printf '   %-*s %s\n' "$width" "${summary_names[i]}" "${summary_lines[i]}"
done
echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
