# Sourced by ./run: shows the window to VNC viewers on this machine only, behind a password.
# Xvfb draws it on a display of its own that only this user may open (an X authority cookie);
# x11vnc serves that display on 127.0.0.1 alone, with a password made for this run. From another
# machine the way in is an SSH tunnel. Usage: talkmere_serve_over_vnc PROGRAM

# Waits up to 20 s for a command to succeed while the process PID (NAME) lives; if it dies or the
# time runs out, says so on stderr, shows LOG and fails.
talkmere_wait_for() {
    local name=$1 pid=$2 log=$3
    shift 3
    for _ in $(seq 200); do
        kill -0 "$pid" 2>/dev/null || break
        "$@" && return 0
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "./run --vnc: $name did not get ready within 20 s; its log:" >&2
    else
        echo "./run --vnc: $name did not start or has died; its log:" >&2
    fi
    cat "$log" >&2 2>/dev/null || true
    return 1
}

# Whether the process PID itself listens on TCP port PORT (not some other program there).
talkmere_listens() { ss -Htlnp "sport = :$2" | grep -q "pid=$1,"; }

talkmere_serve_over_vnc() {
    local program=$1
    talkmere_setup xvfb x11vnc xauth

    # Global: the exit trap runs after this function has returned. It waits for the two servers
    # so that Xvfb has removed its lock and socket in /tmp when ./run ends; || true because under
    # set -e a failing kill or wait would end the trap before the directory is removed.
    talkmere_vnc_dir=$(mktemp -d)
    talkmere_vnc_pids=()
    trap 'kill "${talkmere_vnc_pids[@]}" 2>/dev/null || true
          wait "${talkmere_vnc_pids[@]}" 2>/dev/null || true
          rm -rf "$talkmere_vnc_dir"' EXIT
    local dir=$talkmere_vnc_dir
    : >"$dir/xvfb-auth"
    # The cookie reaches xauth on its standard input: a command line is readable by every user.
    local cookie
    cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
    # Xvfb accepts every cookie in its file, whatever display it names: ours is not known yet.
    printf 'add :0 . %s\n' "$cookie" | xauth -q -f "$dir/xvfb-auth" source -
    # Xvfb takes the first free display itself and writes its number once it accepts clients,
    # so no one can take the display between our choice and its start.
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -auth "$dir/xvfb-auth" \
        3>"$dir/display" 2>"$dir/xvfb.log" &
    local xvfb=$!
    talkmere_vnc_pids+=("$xvfb")
    talkmere_wait_for Xvfb "$xvfb" "$dir/xvfb.log" grep -qx '[0-9]\+' "$dir/display" || return 1
    local display
    display=$(cat "$dir/display")
    export XAUTHORITY=$dir/xauthority
    : >"$XAUTHORITY"
    printf 'add :%s . %s\n' "$display" "$cookie" | xauth -q -f "$XAUTHORITY" source -

    # VNC passwords count eight characters: 48 random bits, written as eight.
    local password
    password=$(head -c 6 /dev/urandom | base64 | tr '+/' 'xy')
    (umask 077 && echo "$password" >"$dir/password")
    # rm: x11vnc reads the file and deletes it, so the password is on no command line and no disk.
    # -norc: a ~/.x11vncrc could widen where it listens. x11vnc takes the first free port from
    # 5900 and prints PORT=N once it listens there; only that report counts.
    x11vnc -norc -display ":$display" -auth "$XAUTHORITY" -localhost -autoport 5900 \
        -passwdfile "rm:$dir/password" -forever -shared -quiet -o "$dir/x11vnc.log" \
        >"$dir/x11vnc.out" &
    local x11vnc=$!
    talkmere_vnc_pids+=("$x11vnc")
    talkmere_wait_for x11vnc "$x11vnc" "$dir/x11vnc.log" \
        grep -qx 'PORT=[0-9]\+' "$dir/x11vnc.out" || return 1
    local port
    port=$(sed -n 's/^PORT=\([0-9]\+\)$/\1/p' "$dir/x11vnc.out")
    if ! talkmere_listens "$x11vnc" "$port" || ! kill -0 "$xvfb" 2>/dev/null; then
        echo "./run --vnc: x11vnc does not listen on port $port, or Xvfb has died; logs:" >&2
        cat "$dir/x11vnc.log" "$dir/xvfb.log" >&2 2>/dev/null || true
        return 1
    fi

    cat <<MSG
The window is served over VNC on 127.0.0.1:$port only, with the password $password
(for this run). On this machine, point a VNC viewer at 127.0.0.1:$port. From another machine,
open a tunnel first and then point the viewer at 127.0.0.1:$port there:
    ssh -L $port:127.0.0.1:$port $(id -un)@$(hostname)
MSG
    DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$program"
}
