#!/usr/bin/env bash
# Checks what ./run --vnc exposes: the VNC server listens on loopback only and asks for a
# password, and the X display refuses clients without its cookie. A stand-in program takes the
# window's place, so no port 100 and no build are needed. Exits non-zero if any check fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/setup.sh
source scripts/vnc.sh
talkmere_setup xvfb x11vnc xauth xdotool

out=$(mktemp)
# The stand-in reports what it sees from inside, then ends, which ends the VNC session too.
stand_in() {
    local port
    port=$(sed -n 's/.*on 127\.0\.0\.1:\([0-9]*\) only.*/\1/p' "$out")
    echo "listeners: $(ss -Htln "sport = :$port" | awk '{print $4}' | sort | tr '\n' ' ')"
    # The server's banner, our version, then its list of security types: count, then the types.
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    head -c 12 <&3 >/dev/null
    printf 'RFB 003.008\n' >&3
    echo "security: $(timeout 5 head -c 2 <&3 | od -An -tu1)"
    exec 3<&-
    echo "own display: $(xdotool getdisplaygeometry 2>&1)"
    echo "without cookie: $(env -u XAUTHORITY HOME=/nonexistent xdotool getdisplaygeometry 2>&1 |
        head -1)"
}
export -f stand_in
export out
talkmere_serve_over_vnc stand_in >"$out" 2>&1 || true
cat "$out"

failures=0
check() {
    if grep -qE "$2" "$out"; then echo "ok: $1"; else echo "FAILED: $1" >&2 && failures=$((failures + 1)); fi
}
check "VNC listens on loopback only" '^listeners: (127\.0\.0\.1:[0-9]+ |\[::1\]:[0-9]+ )+$'
check "VNC asks for a password, and only that (one type: 2)" '^security: +1 +2$'
check "the display takes its own clients" '^own display: [0-9]+ [0-9]+$'
check "the display refuses clients without the cookie" '^without cookie: .*(refused|[Aa]uthoriz|open display)'
[ $failures -eq 0 ] || exit 1
echo "All VNC checks passed."
