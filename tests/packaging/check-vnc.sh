#!/usr/bin/env bash
# Checks what ./run --vnc exposes: the VNC server listens on loopback only and asks for a
# password, and the X display refuses clients without its cookie. A stand-in program takes the
# window's place, so no port 100 and no build are needed. Exits non-zero if any check fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/setup.sh
source scripts/vnc.sh
talkmere_setup xvfb x11vnc xauth xdotool

tmp=$(mktemp -d)
trap 'kill $(cat "$tmp/other-xvfb" 2>/dev/null) 2>/dev/null || true; rm -rf "$tmp"' EXIT
mkdir "$tmp/run" "$tmp/logged" "$tmp/dying"
export TMPDIR=$tmp/run out=$tmp/out tmp
# xauth and x11vnc run through a stand-in that notes their command lines: xauth's has ended
# before the window shows, so /proc would no longer show it.
printf '#!/bin/sh\necho "${0##*/} $*" >>%q\nexec "/usr/bin/${0##*/}" "$@"\n' "$tmp/args" \
    >"$tmp/logged/xauth"
chmod +x "$tmp/logged/xauth" && ln -s xauth "$tmp/logged/x11vnc"
# Our Xvfb dies at once while a server comes up on the display anyway, as if someone else's.
printf '#!/bin/sh\n/usr/bin/Xvfb "$@" &\necho $! >%q; exit 1\n' "$tmp/other-xvfb" >"$tmp/dying/Xvfb"
chmod +x "$tmp/dying/Xvfb"
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
    echo "cookie on command lines: $(grep -cF "$(xauth list | awk '{print $3}')" "$tmp/args")"
    grep '^x11vnc ' "$tmp/args"
}
export -f stand_in
(PATH=$tmp/logged:$PATH talkmere_serve_over_vnc stand_in) >"$out" 2>&1 || true
status=0
(PATH=$tmp/dying:$PATH talkmere_serve_over_vnc true) >"$tmp/dying.out" 2>"$tmp/dying.err" ||
    status=$?
echo "dead Xvfb: status $status, served $(grep -c 'served over VNC' "$tmp/dying.out")," \
    "stderr: $(head -1 "$tmp/dying.err")" >>"$out"
echo "left in TMPDIR: $(ls -A "$tmp/run")" >>"$out"
cat "$out"

failures=0
check() {
    if grep -qE "$2" "$out"; then echo "ok: $1"; else echo "FAILED: $1" >&2 && failures=$((failures + 1)); fi
}
check "VNC listens on loopback only" '^listeners: (127\.0\.0\.1:[0-9]+ |\[::1\]:[0-9]+ )+$'
check "VNC asks for a password, and only that (one type: 2)" '^security: +1 +2$'
check "the display takes its own clients" '^own display: [0-9]+ [0-9]+$'
check "the display refuses clients without the cookie" '^without cookie: .*(refused|[Aa]uthoriz|open display)'
check "the cookie is on no command line" '^cookie on command lines: 0$'
check "x11vnc reads no ~/.x11vncrc" '^x11vnc .*-norc( |$)'
check "the runs leave nothing in TMPDIR" '^left in TMPDIR: $'
check "a dead Xvfb of ours fails loudly" '^dead Xvfb: status [1-9][0-9]*, served 0, stderr: .*Xvfb'
[ $failures -eq 0 ] || exit 1
echo "All VNC checks passed."
