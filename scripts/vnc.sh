# Sourced by ./run: shows the window to VNC viewers on this machine only, behind a password.
# Xvfb draws it on a display of its own that only this user may open (an X authority cookie);
# x11vnc serves that display on 127.0.0.1 alone, with a password made for this run. From another
# machine the way in is an SSH tunnel. Usage: talkmere_serve_over_vnc PROGRAM

talkmere_port_taken() { [ -n "$(ss -Htln "sport = :$1")" ]; }

# Waits up to 10 s for a command to succeed; if it never does, shows LOG and fails.
talkmere_wait_for() {
    local log=$1
    shift
    for _ in $(seq 100); do
        "$@" && return 0
        sleep 0.1
    done
    cat "$log" >&2
    return 1
}

talkmere_serve_over_vnc() {
    local program=$1
    talkmere_setup xvfb x11vnc xauth

    local display=20
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    local port=5900
    while talkmere_port_taken "$port"; do
        port=$((port + 1))
    done

    # Global: the exit trap runs after this function has returned.
    talkmere_vnc_dir=$(mktemp -d)
    talkmere_vnc_pids=()
    trap 'kill "${talkmere_vnc_pids[@]}" 2>/dev/null; rm -rf "$talkmere_vnc_dir"' EXIT
    local dir=$talkmere_vnc_dir
    export XAUTHORITY=$dir/xauthority
    : >"$XAUTHORITY"
    xauth -q add ":$display" . "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')"
    Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp -auth "$XAUTHORITY" 2>"$dir/xvfb.log" &
    talkmere_vnc_pids+=($!)
    talkmere_wait_for "$dir/xvfb.log" test -e "/tmp/.X11-unix/X$display" || return 1

    # VNC passwords count eight characters: 48 random bits, written as eight.
    local password
    password=$(head -c 6 /dev/urandom | base64 | tr '+/' 'xy')
    (umask 077 && echo "$password" >"$dir/password")
    # rm: x11vnc reads the file and deletes it, so the password is on no command line and no disk.
    x11vnc -display ":$display" -auth "$XAUTHORITY" -localhost -rfbport "$port" \
        -passwdfile "rm:$dir/password" -forever -shared -quiet -o "$dir/x11vnc.log" >/dev/null &
    talkmere_vnc_pids+=($!)
    talkmere_wait_for "$dir/x11vnc.log" talkmere_port_taken "$port" || return 1

    cat <<MSG
The window is served over VNC on 127.0.0.1:$port only, with the password $password
(for this run). On this machine, point a VNC viewer at 127.0.0.1:$port. From another machine,
open a tunnel first and then point the viewer at 127.0.0.1:$port there:
    ssh -L $port:127.0.0.1:$port $(id -un)@$(hostname)
MSG
    DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$program"
}
