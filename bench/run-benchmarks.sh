#!/usr/bin/env bash
# Builds the benchmark tools in Release and measures, in one run, the reference relay and
# (when present) the project's pool-based host with the same load generator settings.
#
# usage: bench/run-benchmarks.sh [--runs N] [--duration S] [--clients N] [--rate R] [--pin]
#                                [--build-dir DIR] [--no-build] [--] [NAME=HOST_COMMAND...]
#
# Each NAME=HOST_COMMAND (one argument, e.g. "relay=build-bench/bench/talkmere-bench-host") is
# started as `HOST_COMMAND --port P`. Every run measures the reference relay and then each host,
# each started afresh, so that a run's figures come from the same minutes. Without any host, the
# script uses the build's talkmere-bench-host target if that exists. --pin runs the throughput
# measurements with the server on the first core and the load generator on the second (taskset),
# so that runs do not differ by where the scheduler happened to put them.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build-bench"
runs=2
duration=10
clients=10
rate=2000
do_build=1
pin=0

while (($# > 0)); do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    --pin) pin=1; shift ;;
    --) shift; break ;;
    -h | --help) sed -n '2,12p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "run-benchmarks: unknown option $1" >&2; exit 1 ;;
    *) break ;;
    esac
done
hosts=("$@")

if ((do_build)); then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target talkmere-loadgen talkmere-reference-relay \
        talkmere-bench-host talkmere-bench-window
fi
loadgen="$build/bench/talkmere-loadgen"
relay="$build/bench/talkmere-reference-relay"

if ((${#hosts[@]} == 0)) && cmake --build "$build" --target help 2>/dev/null |
    grep -q '^talkmere-bench-host:'; then
    ((do_build)) && cmake --build "$build" --target talkmere-bench-host
    hosts=("bench-host=$build/bench/talkmere-bench-host")
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

server_pid=""
stop_server() {
    if [[ -n $server_pid ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=""
    fi
}
trap stop_server EXIT

loadgen_cpu=()
if ((pin)); then
    if ! command -v taskset >/dev/null || (($(nproc) < 2)); then
        echo "run-benchmarks: --pin needs taskset and two cores" >&2
        exit 1
    fi
    loadgen_cpu=(taskset -c 1)
fi

# A Qt host needs no display for a benchmark.
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

logdir=$(mktemp -d)
summary=()

# measure RUN NAME COMMAND... : starts COMMAND --port P and runs both modes against it.
measure() {
    local run=$1 name=$2
    shift 2
    local port
    port=$(free_port)
    "$@" --port "$port" >"$logdir/$name.log" 2>&1 &
    server_pid=$!
    local waited=0
    while port_is_free "$port"; do
        if ! kill -0 "$server_pid" 2>/dev/null || ((waited >= 100)); then
            echo "== $name did not start listening on 127.0.0.1:$port; its output:"
            cat "$logdir/$name.log"
            stop_server
            summary+=("$name: did not start")
            return 0
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    echo "== $name: pid $server_pid on 127.0.0.1:$port"

    local mode out status pinned
    for mode in throughput latency; do
        echo "-- $name, $mode, run $run of $runs"
        # Pinned for throughput only: a latency run needs the scheduler free to move a woken
        # process to an idle core, or one busy moment on the server's core shows as a tail.
        pinned=()
        if ((pin)); then
            local core=0-$(($(nproc) - 1))
            [[ $mode == throughput ]] && core=0 && pinned=("${loadgen_cpu[@]}")
            taskset -a -p -c "$core" "$server_pid" >/dev/null
        fi
        status=0
        out=$("${pinned[@]}" "$loadgen" --port "$port" --clients "$clients" --mode "$mode" \
            --duration "$duration" --rate "$rate" --server-pid "$server_pid" 2>&1) ||
            status=$?
        echo "$out"
        summary+=("$name run=$run status=$status $(grep '^RESULT ' <<<"$out" | cut -c8-)")
    done
    stop_server
    # What the host printed, for instance its statistics ticks' lateness.
    grep -E '^(TICKS|PAINT|COUNTERS|listening)' "$logdir/$name.log" || true
}

echo "machine: $(nproc) cores, $(uname -sr); duration ${duration}s, $clients clients, $runs runs," \
    "pinned: $((pin ? 1 : 0))"
for ((run = 1; run <= runs; run++)); do
    measure "$run" reference-relay "$relay"
    for host in "${hosts[@]}"; do
        # shellcheck disable=SC2086 # the command's words are split on purpose
        measure "$run" "${host%%=*}" ${host#*=}
    done
done
((${#hosts[@]} > 0)) || echo "== no host command given and no talkmere-bench-host target"

echo
echo "== summary (status 0 ok, 2 connection, 3 order violations, 4 lost texts)"
printf '%s\n' "${summary[@]}"
rm -rf "$logdir"
