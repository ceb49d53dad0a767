#!/usr/bin/env bash
# Both modes of the reference relay carry every text to every client in order, under both loads,
# with the latency clients acknowledging at once: a yardstick that lost or reordered texts would
# flatter every server measured against it.
# usage: relay_selftest.sh RELAY LOADGEN
set -euo pipefail
relay=$1
loadgen=$2
out=$(mktemp)
relay_pid=""
trap '[[ -z $relay_pid ]] || kill "$relay_pid" 2>/dev/null; rm -f "$out"' EXIT

for mode in batching floor; do
    flags=()
    [[ $mode == floor ]] && flags=(--floor)
    "$relay" --port 0 "${flags[@]}" >"$out" &
    relay_pid=$!
    port=""
    for ((i = 0; i < 50; i++)); do
        port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$out")
        [[ -z $port ]] || break
        sleep 0.1
    done
    [[ -n $port ]] || { echo "FAIL: the $mode relay did not say its port"; exit 1; }
    for load in "--mode throughput" "--mode latency --quickack --rate 500"; do
        # shellcheck disable=SC2086 # the load's words are split on purpose
        if ! result=$("$loadgen" --port "$port" --clients 4 --warmup 0.1 --duration 0.4 $load); then
            echo "FAIL: $mode relay, $load: $(tail -n 1 <<<"$result")"
            exit 1
        fi
        grep -q ' missing=0 .*damaged=0$' <<<"$result" || {
            echo "FAIL: $mode relay, $load: $(tail -n 1 <<<"$result")"
            exit 1
        }
        echo "ok: $mode relay, $load"
    done
    kill "$relay_pid"
    wait "$relay_pid" 2>/dev/null || true
    relay_pid=""
done
