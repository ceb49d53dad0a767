#!/usr/bin/env bash
# Measures servers against two reference relays in paired rounds. Every round measures, back to
# back and each started afresh, the floor relay (talkmere-reference-relay --floor: a yield's
# system call after every write), the batching relay (its default mode) and each server under
# test, with the throughput load and then the paced latency load (quick-ACK clients). Ratios to
# the floor relay and to the batching relay are taken per round; the summary gives their median
# and spread (min..max) over the rounds, and every run's losses and order violations.
#
# usage: bench/run-benchmarks.sh [--rounds N] [--duration S] [--clients N] [--rate R] [--pin]
#                                [--offscreen] [--build-dir DIR] [--no-build] [--] [SERVER...]
#
# SERVER is `program`, the real talkmere-server (port 100, its password prompt typed on the X
# server, the event log filled with data events before measuring; as root, and only inside
# `flock /tmp/port100.lock`), or NAME=COMMAND, started as `COMMAND --port P`, for instance
# "window=build-bench/bench/talkmere-bench-window --fill-log". A COMMAND with a word ending in
# talkmere-server is run as given and driven like the real program (for instance another build,
# or "noshm=env QT_XCB_NO_MITSHM=1 build-bench/app/talkmere-server"). Default: program. Windows are
# shown on an Xvfb of the script's own (:90 to :99) with the xcb platform; --offscreen uses Qt's
# offscreen platform instead (the real program then cannot be measured). --pin runs the
# throughput load with the server on the first core and the generator on the second.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build-bench"
rounds=7
duration=5
clients=10
rate=2000
do_build=1
pin=0
offscreen=0

while (($# > 0)); do
    case "$1" in
    --rounds | --runs) rounds=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    --pin) pin=1; shift ;;
    --offscreen) offscreen=1; shift ;;
    --) shift; break ;;
    -h | --help) sed -n '2,20p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "run-benchmarks: unknown option $1" >&2; exit 1 ;;
    *) break ;;
    esac
done
hosts=("$@")
((${#hosts[@]} > 0)) || hosts=(program)
wants_program=0
# is_program COMMAND...: whether the command runs a build of the real program.
is_program() {
    local word
    for word in "$@"; do
        [[ $word == program || $word == talkmere-server || $word == */talkmere-server ]] && return 0
    done
    return 1
}
for host in "${hosts[@]}"; do
    # shellcheck disable=SC2086 # the command's words are split on purpose
    is_program ${host#*=} && wants_program=1
done
if ((wants_program)) && { ((offscreen)) || (($(id -u) != 0)); }; then
    echo "run-benchmarks: the real program needs root (port 100) and the X server (no --offscreen)" >&2
    exit 1
fi

if ((do_build)); then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target talkmere-loadgen talkmere-reference-relay \
        talkmere-bench-host talkmere-bench-window talkmere-server
fi
loadgen="$build/bench/talkmere-loadgen"
relay="$build/bench/talkmere-reference-relay"
program="$build/app/talkmere-server"

logdir=$(mktemp -d)
server_pid=""
lock_pid=""
xvfb_pid=""
stop_server() {
    if [[ -n $server_pid ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=""
    fi
    if [[ -n $lock_pid ]]; then
        kill "$lock_pid" 2>/dev/null || true # still waiting for the lock, if it never got it
        wait "$lock_pid" 2>/dev/null || true
        lock_pid=""
    fi
}
cleanup() {
    stop_server
    if [[ -n $xvfb_pid ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$logdir"
}
trap cleanup EXIT

if ((offscreen)); then
    export QT_QPA_PLATFORM=offscreen
else
    # shellcheck source=scripts/setup.sh
    source "$repo/scripts/setup.sh"
    # shellcheck disable=SC2034 # what talkmere_setup installs when missing
    talkmere_packages=(xvfb xdotool)
    talkmere_setup
    # The first display of :90 to :99 that nobody holds; Xvfb itself refuses one taken meanwhile.
    for ((display = 90; display <= 99; display++)); do
        [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]] && continue
        Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$logdir/xvfb.log" 2>&1 &
        xvfb_pid=$!
        for ((waited = 0; waited < 50; waited++)); do
            [[ -S /tmp/.X11-unix/X$display ]] && break
            kill -0 "$xvfb_pid" 2>/dev/null || break
            sleep 0.1
        done
        [[ -S /tmp/.X11-unix/X$display ]] && kill -0 "$xvfb_pid" 2>/dev/null && break
        kill "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=""
    done
    if [[ -z $xvfb_pid ]]; then
        echo "run-benchmarks: no Xvfb display free in :90 to :99" >&2
        exit 1
    fi
    export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
fi

port_is_free() {
    [[ -z $(ss -Htln "sport = :$1" 2>/dev/null) ]]
}

free_port() {
    local port
    for ((port = 20000 + RANDOM % 20000; port < 65000; port++)); do
        if port_is_free "$port"; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

loadgen_cpu=()
if ((pin)); then
    if ! command -v taskset >/dev/null || (($(nproc) < 2)); then
        echo "run-benchmarks: --pin needs taskset and two cores" >&2
        exit 1
    fi
    loadgen_cpu=(taskset -c 1)
fi

# start_command NAME COMMAND...: starts COMMAND --port P; sets server_pid and port.
start_command() {
    local name=$1
    shift
    port=$(free_port)
    "$@" --port "$port" >"$logdir/$name.log" 2>&1 &
    server_pid=$!
    local waited=0
    while port_is_free "$port"; do
        if ! kill -0 "$server_pid" 2>/dev/null || ((waited >= 100)); then
            echo "== $name did not start listening on 127.0.0.1:$port"
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

# start_program NAME COMMAND...: the real program on port 100, as an operator starts it: the
# password typed into its prompt, then its event log filled with data events (one line per text,
# since a client that waits for its own echo before the next text makes one arrival per text).
start_program() {
    local name=$1 started=$SECONDS
    shift
    port=100
    # The lock is held for as long as the program runs, so nobody else uses port 100 meanwhile.
    # A lock that stays taken for 15 minutes fails the round rather than the whole measurement.
    flock -w 900 /tmp/port100.lock "$@" >"$logdir/$name.log" 2>&1 &
    lock_pid=$!
    while [[ -z $server_pid ]]; do
        kill -0 "$lock_pid" 2>/dev/null || { echo "== $name: no lock on port 100 in 15 min"; return 1; }
        server_pid=$(tr -d ' ' <"/proc/$lock_pid/task/$lock_pid/children" 2>/dev/null) || true
        [[ -n $server_pid ]] || sleep 0.1
    done
    ((SECONDS - started < 2)) || echo "== $name: waited $((SECONDS - started)) s for port 100"
    local window
    window=$(timeout 20 xdotool search --sync --onlyvisible --pid "$server_pid" \
        --name '^Enter a server password$' | head -n 1) || true
    [[ -n $window ]] || { echo "== $name: no password prompt"; return 1; }
    xdotool windowfocus --sync "$window"
    # The focus starts on OK; the password box is next in the tab order.
    xdotool key --delay 30 Tab
    xdotool type --delay 10 bench
    xdotool key --delay 30 shift+Tab space
    timeout 20 xdotool search --sync --onlyvisible --pid "$server_pid" \
        --name '^Talkmere Server - Version' >/dev/null || {
        echo "== $name: the main window did not open"
        return 1
    }
    local waited=0
    until ss -Htlnp 'sport = :100' 2>/dev/null | grep -q "pid=$server_pid,"; do
        if ((waited >= 100)); then
            echo "== $name is not listening on port 100 (taken by another process?)"
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    local lines=0 out status
    while ((lines < 32767)); do
        status=0
        out=$("$loadgen" --port 100 --clients 1 --window 1 --warmup 0 --duration 2) || status=$?
        if ((status != 0)); then
            echo "== $name: filling the event log failed (status $status)"
            return 1
        fi
        lines=$((lines + $(grep -o ' sent=[0-9]*' <<<"$out" | cut -d= -f2)))
    done
    echo "== $name: event log filled with $lines data events"
}

# measure ROUND NAME COMMAND...: starts the server and runs both loads against it.
measure() {
    local round=$1 name=$2
    shift 2
    local start=start_command
    is_program "$@" && start=start_program
    if ! "$start" "$name" "$@"; then
        cat "$logdir/$name.log"
        stop_server
        echo "round=$round server=$name did-not-start" >>"$logdir/results"
        return 0
    fi
    echo "== $name: pid $server_pid on 127.0.0.1:$port"

    local mode out status pinned extra
    for mode in throughput latency; do
        echo "-- $name, $mode, round $round of $rounds"
        # Pinned for throughput only: a latency run needs the scheduler free to move a woken
        # process to an idle core, or one busy moment on the server's core shows as a tail.
        pinned=()
        extra=()
        if ((pin)); then
            local core=0-$(($(nproc) - 1))
            [[ $mode == throughput ]] && core=0 && pinned=("${loadgen_cpu[@]}")
            taskset -a -p -c "$core" "$server_pid" >/dev/null
        fi
        [[ $mode == latency ]] && extra=(--quickack)
        status=0
        out=$("${pinned[@]}" "$loadgen" --port "$port" --clients "$clients" --mode "$mode" \
            --duration "$duration" --rate "$rate" --server-pid "$server_pid" "${extra[@]}" 2>&1) ||
            status=$?
        echo "$out"
        echo "round=$round server=$name status=$status $(grep '^RESULT ' <<<"$out" | cut -c8-)" \
            >>"$logdir/results"
    done
    stop_server
    # What the host printed, for instance its statistics ticks' lateness.
    grep -E '^(TICKS|PAINT|COUNTERS|listening)' "$logdir/$name.log" || true
    grep '^TICKS' "$logdir/$name.log" | sed "s/^/round=$round server=$name /" \
        >>"$logdir/results" || true
}

# field NAME LINE: the value of NAME=... in LINE.
field() {
    grep -o "\(^\| \)$1=[^ ]*" <<<"$2" | head -n 1 | cut -d= -f2 || true
}

# The figures of one server in one round, as "round server metric value" lines.
figures() {
    local line round server
    while read -r line; do
        round=$(field round "$line")
        server=$(field server "$line")
        case "$line" in
        *mode=throughput*) echo "$round $server cpu_per_M $(field server_cpu_s_per_M "$line")" ;;
        *mode=latency*)
            echo "$round $server p99_us $(field p99_us "$line")"
            echo "$round $server p50_us $(field p50_us "$line")"
            echo "$round $server paced_cpu_s $(field server_cpu_s "$line")"
            ;;
        *TICKS*) echo "$round $server ticks_p99_late_ms $(field p99_late_ms "$line")" ;;
        esac
    done <"$logdir/results" | awk 'NF == 4 && $4 != ""'
}

# spread [FORMAT] [NONE]: median [min..max] of the numbers on standard input, as FORMAT has
# them (median, min, max, count), or NONE when there are none.
spread() {
    sort -g | awk -v f="${1:-%.2fx [%.2f..%.2f] over %d rounds\n}" -v none="${2:-no rounds}" '
        { v[NR] = $1 } END { if (NR == 0) { print none; exit }
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf f, m, v[1], v[NR], NR }'
}

echo "machine: $(nproc) cores, $(uname -sr), load $(cut -d' ' -f1-3 /proc/loadavg);" \
    "${duration}s, $clients clients, $rate markers/s, $rounds rounds, pinned: $pin," \
    "platform: $QT_QPA_PLATFORM${DISPLAY:+ on $DISPLAY}"
for ((round = 1; round <= rounds; round++)); do
    echo "== round $round of $rounds, load $(cut -d' ' -f1-3 /proc/loadavg)"
    measure "$round" floor "$relay" --floor
    measure "$round" batching "$relay"
    for host in "${hosts[@]}"; do
        if [[ $host == program ]]; then
            measure "$round" program "$program"
        else
            # shellcheck disable=SC2086 # the command's words are split on purpose
            measure "$round" "${host%%=*}" ${host#*=}
        fi
    done
done

echo
echo "== every run (status 0 ok, 2 connection, 3 order violations, 4 lost texts)"
cat "$logdir/results"
figures >"$logdir/figures"
echo
echo "== per round: CPU s per million deliveries (throughput), p50 / p99 us and server CPU s"
echo "   (paced latency load), statistics ticks' p99 lateness in ms where the host reports it"
awk '{ f[$1 " " $2] = f[$1 " " $2] " " $3 "=" $4 } END { for (k in f) print k f[k] }' \
    "$logdir/figures" | sort -k1,1n -k2,2
for reference in floor batching; do
    for host in "${hosts[@]}"; do
        name=${host%%=*}
        echo
        echo "== $name against the $reference relay: median ratio [min..max] of the per-round ratios"
        for metric in p99_us p50_us paced_cpu_s cpu_per_M; do
            printf '   %-12s ' "$metric"
            awk -v a="$name" -v b="$reference" -v m="$metric" '$3 == m && ($2 == a || $2 == b) {
                    v[$1 " " $2] = $4; r[$1] = 1 }
                END { for (i in r) if ((i " " a) in v && (i " " b) in v && v[i " " b] > 0)
                          print v[i " " a] / v[i " " b] }' "$logdir/figures" | spread
        done
    done
done
echo
echo "== statistics ticks' p99 lateness, ms (median [min..max])"
for host in "${hosts[@]}"; do
    name=${host%%=*}
    printf '   %-12s ' "$name"
    awk -v a="$name" '$2 == a && $3 == "ticks_p99_late_ms" { print $4 }' "$logdir/figures" |
        spread '%.2f [%.2f..%.2f]\n' "not reported"
done
echo
echo "== losses and order violations, every run"
awk '/mode=/ { bad = 0; for (i = 1; i <= NF; i++) if ($i ~ /^(status|missing|incomplete|order_violations|damaged)=/ && $i !~ /=0$/) bad = 1
        n++; if (bad) { print "   BAD: " $0; nbad++ } }
     /did-not-start/ { print "   BAD: " $0; nbad++ }
     END { printf "   %d runs, %d with a loss, an order violation or a failure\n", n, nbad }' \
    "$logdir/results"
