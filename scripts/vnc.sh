# Sourced by ./run: shows the window to VNC viewers on this machine only, behind a password.
# Xvfb draws it on a display of its own that only this user may open (an X authority cookie);
# x11vnc serves that display on 127.0.0.1 alone, with a password made for this run. From another
# machine the way in is an SSH tunnel. Usage: talkmere_serve_over_vnc PROGRAM

talkmere_serve_over_vnc() {
    local program=$1
    talkmere_setup xvfb x11vnc xauth

    local display=20
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    local port=5900
    while [ -n "$(ss -Htln "sport = :$port")" ]; do
        port=$((port + 1))
    done

    local dir
    dir=$(mktemp -d)
    local xvfb_pid="" vnc_pid=""
    # shellcheck disable=SC2064 # the names are fixed now, the processes ended at exit
    trap 'kill $vnc_pid $xvfb_pid 2>/dev/null; rm -rf "$dir"' EXIT
    export XAUTHORITY=$dir/xauthority
    xauth -q add ":$display" . "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')"
    Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp -auth "$XAUTHORITY" 2>"$dir/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$display" ] && break
        sleep 0.1
    done
    [ -e "/tmp/.X11-unix/X$display" ] || { cat "$dir/xvfb.log" >&2; return 1; }

    # VNC passwords count eight characters; these come from the system's random source.
    local password
    password=$(tr -dc 'A-Za-z0-9' </dev/urandom | head -c 8)
    (umask 077 && echo "$password" >"$dir/password")
    # rm: x11vnc reads the file and deletes it, so the password is on no command line and no disk.
    x11vnc -display ":$display" -auth "$XAUTHORITY" -localhost -rfbport "$port" \
        -passwdfile "rm:$dir/password" -forever -shared -quiet -o "$dir/x11vnc.log" &
    vnc_pid=$!
    for _ in $(seq 100); do
        [ -n "$(ss -Htln "sport = :$port")" ] && break
        sleep 0.1
    done
    [ -n "$(ss -Htln "sport = :$port")" ] || { cat "$dir/x11vnc.log" >&2; return 1; }

    cat <<MSG
The window is served over VNC on 127.0.0.1:$port only, with the password $password
(for this run). On this machine, point a VNC viewer at 127.0.0.1:$port. From another machine,
open a tunnel first and then point the viewer at 127.0.0.1:$port there:
    ssh -L $port:127.0.0.1:$port $(id -un)@$(hostname)
MSG
    DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$program"
}
