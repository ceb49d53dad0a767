#!/usr/bin/env bash
# Builds the benchmark tools in Release and measures, in one run, the reference relay and
# (when present) the project's pool-based host with the same load generator settings.
#
# usage: bench/run-benchmarks.sh [--runs N] [--duration S] [--clients N] [--rate R]
#                                [--build-dir DIR] [--no-build] [--] [NAME=HOST_COMMAND...]
#
# Each NAME=HOST_COMMAND (one argument, e.g. "relay=build-bench/bench/talkmere-bench-host") is
# started as `HOST_COMMAND --port P` and measured after the reference relay. Without any, the
# script uses the build's talkmere-bench-host target if that exists.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build-bench"
runs=2
duration=10
clients=10
rate=2000
do_build=1

while (($# > 0)); do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    --) shift; break ;;
    -h | --help) sed -n '2,9p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
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

# A Qt host needs no display for a benchmark.
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

logdir=$(mktemp -d)
summary=()

# measure NAME COMMAND... : starts COMMAND --port P and runs every measurement against it.
measure() {
    local name=$1
    shift
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

    local run mode out status
    for ((run = 1; run <= runs; run++)); do
        for mode in throughput latency; do
            echo "-- $name, $mode, run $run of $runs"
            status=0
            out=$("$loadgen" --port "$port" --clients "$clients" --mode "$mode" \
                --duration "$duration" --rate "$rate" --server-pid "$server_pid" 2>&1) ||
                status=$?
            echo "$out"
            summary+=("$name run=$run status=$status $(grep '^RESULT ' <<<"$out" | cut -c8-)")
        done
    done
    stop_server
    # What the host printed, for instance its statistics ticks' lateness.
    grep -E '^(TICKS|COUNTERS|listening)' "$logdir/$name.log" || true
}

echo "machine: $(nproc) cores, $(uname -sr); duration ${duration}s, $clients clients, $runs runs"
measure reference-relay "$relay"
for host in "${hosts[@]}"; do
    # shellcheck disable=SC2086 # the command's words are split on purpose
    measure "${host%%=*}" ${host#*=}
done
((${#hosts[@]} > 0)) || echo "== no host command given and no talkmere-bench-host target"

echo
echo "== summary (status 0 ok, 2 connection, 3 order violations, 4 lost texts)"
printf '%s\n' "${summary[@]}"
rm -rf "$logdir"
