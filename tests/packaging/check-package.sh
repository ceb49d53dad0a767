#!/usr/bin/env bash
# Checks the Debian package that ./package made: its control data, that it holds the program, its
# bind helper and its desktop files and nothing else, that Debian's and the desktop's validators
# accept it, and that the unpacked program starts as far as its password prompt. As root it also
# installs the package (replacing any installed one, removed again at the end) and checks, as the
# normal user nobody, what installing grants: port 100 through the helper, and nothing to code
# that a user has the program load. Exits non-zero if any check fails.
# Usage: tests/packaging/check-package.sh PACKAGE.deb [BINDPROBE-PLUGIN.so]
set -euo pipefail
deb=$(realpath "${1:?usage: $0 PACKAGE.deb [BINDPROBE-PLUGIN.so]}")
probe=${2:+$(realpath "$2")}
cd "$(dirname "$0")/../.."
source scripts/setup.sh
talkmere_setup lintian desktop-file-utils appstream man-db xvfb xdotool

failures=0
check() { # check DESCRIPTION SHELL-CONDITION
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1" >&2 && failures=$((failures + 1)); fi
}
tmp=$(mktemp -d)
chmod 755 "$tmp" # nobody runs the installed program with files from here
pid=
xvfb=
installed=
trap 'kill $pid $xvfb 2>/dev/null; [ -z "$installed" ] || dpkg --purge talkmere-server >/dev/null
      rm -rf "$tmp"' EXIT

app=example.talkmere.server
version=$(sed -n 's/^project(TalkmereServer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
released=$(sed -n 's/^set(TALKMERE_RELEASE_DATE \([0-9-]*\))$/\1/p' CMakeLists.txt)
depends=$(dpkg-deb -f "$deb" Depends)
check "talkmere-server $version" \
    '[ "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)" = "talkmere-server $version" ]'
for need in libcap2-bin qt6-qpa-plugins libqt6widgets6 libqt6network6 libc6; do
    check "depends on $need" 'grep -qw -- "$need" <<<"$depends"'
done

helper=/usr/libexec/talkmere-server/talkmere-bind100
printf '%s\n' ./usr/bin/talkmere-server ".$helper" ./usr/share/applications/$app.desktop \
    ./usr/share/doc/talkmere-server/changelog.gz ./usr/share/doc/talkmere-server/copyright \
    ./usr/share/icons/hicolor/scalable/apps/$app.svg ./usr/share/man/man1/talkmere-server.1.gz \
    ./usr/share/metainfo/$app.metainfo.xml >"$tmp/expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$tmp/files"
check "holds exactly the program and its files" 'diff "$tmp/expected" "$tmp/files"'

dpkg-deb -e "$deb" "$tmp/control"
check "post-installation script grants the bind helper cap_net_bind_service, and nothing else" \
    '[ -x "$tmp/control/postinst" ] && grep -v "^ *#" "$tmp/control/postinst" >"$tmp/postinst" &&
     grep -q "setcap cap_net_bind_service=+ep $helper;" "$tmp/postinst" &&
     [ "$(grep -c setcap "$tmp/postinst")" = 1 ] &&
     ! grep -qE "chmod|chown|cap_(sys|set|dac|fowner)" "$tmp/postinst"'
echo "lintian (its warnings, if any, are shown):"
check "lintian finds no errors" 'lintian --fail-on error "$deb"'

dpkg-deb -x "$deb" "$tmp/root"
check "the bind helper links the C library alone" \
    '[ "$(readelf -d "$tmp/root$helper" | sed -n "s/.*(NEEDED).*\[\(.*\)\]/\1/p")" = libc.so.6 ]'
desktop=$tmp/root/usr/share/applications/$app.desktop
metainfo=$tmp/root/usr/share/metainfo/$app.metainfo.xml
check "desktop entry is valid" 'desktop-file-validate "$desktop"'
for line in "Name=Talkmere Server" "Exec=talkmere-server" "Icon=$app" "Terminal=false" \
    "Categories=Network;Chat;"; do
    check "desktop entry has $line" 'grep -qxF "$line" "$desktop"'
done
check "desktop entry has a one-line comment" 'grep -qE "^Comment=.+" "$desktop"'
check "AppStream metadata is valid" 'appstreamcli validate --no-net "$metainfo"'
check "AppStream metadata has a screenshot, this version and its release date" \
    'grep -q "<screenshot type=\"default\">" "$metainfo" &&
     grep -qF "<release version=\"$version\" date=\"$released\"/>" "$metainfo"'
changelog=$(zcat "$tmp/root/usr/share/doc/talkmere-server/changelog.gz" || true)
manual=$(zcat "$tmp/root/usr/share/man/man1/talkmere-server.1.gz" || true)
check "changelog and manual page have this version and its release date, $released" \
    '[ -n "$released" ] && [[ $changelog == "talkmere-server ($version) "* ]] &&
     grep -qx -- " -- .*  $(LC_ALL=C date -uRd "$released")" <<<"$changelog" &&
     grep -qxF ".TH TALKMERE-SERVER 1 $released \"Talkmere Server $version\" \"User Commands\"" \
         <<<"$manual"'
check "manual page renders without warnings" \
    '! man --warnings -l "$tmp/root/usr/share/man/man1/talkmere-server.1.gz" 2>&1 >/dev/null | grep .'

# The unpacked program on the system's Qt, as far as its first window. Qt's accessibility cache
# reports each widget that comes up; the prompt window's entry says it is shown (no "invisible").
QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES=qt.accessibility.cache.debug=true \
    "$tmp/root/usr/bin/talkmere-server" >"$tmp/start.log" 2>&1 &
pid=$!
prompt='name="Enter a server password" role=Window.*obj=talkmere::frmStart'
for _ in $(seq 300); do
    grep -q "$prompt" "$tmp/start.log" || ! kill -0 "$pid" 2>/dev/null || { sleep 0.1 && continue; }
    break
done
check "the unpacked program shows the password prompt" \
    'grep "$prompt" "$tmp/start.log" | grep -qv invisible && kill -0 "$pid"'
kill "$pid"
wait "$pid" 2>/dev/null || true

# Installed, as a normal user: only the helper holds a privilege, code that a user has the program
# load gains none, and the program serves port 100 through the helper.
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all)
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: installing the package and running it as nobody need root"
else
    installed=1
    dpkg -i "$deb" >/dev/null
    check "of the installed files, only the bind helper holds a capability" \
        '[ "$(dpkg -L talkmere-server | xargs -d "\n" getcap | cut -d" " -f1)" = "$helper" ]'
    if [ -n "$probe" ]; then
        mkdir -m 755 "$tmp/plugins"
        install -m 644 "$probe" "$tmp/plugins/"
        "${as_nobody[@]}" env QT_QPA_PLATFORM_PLUGIN_PATH="$tmp/plugins" QT_QPA_PLATFORM=bindprobe \
            /usr/bin/talkmere-server >"$tmp/probe.log" 2>&1 || true
        check "a user's own plugin, loaded by the installed program, cannot bind port 99" \
            'grep -qx "bind probe: port 99: Permission denied" "$tmp/probe.log"'
    fi

    exec 9>/tmp/port100.lock # port 100 is shared with the benchmarks on a developer's machine
    flock -w 600 9
    Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$tmp/display" 2>"$tmp/xvfb.log" &
    xvfb=$!
    for _ in $(seq 100); do [ -s "$tmp/display" ] && break || sleep 0.1; done
    export DISPLAY=:$(cat "$tmp/display")
    QT_QPA_PLATFORM=xcb "${as_nobody[@]}" /usr/bin/talkmere-server >"$tmp/nobody.log" 2>&1 &
    pid=$!
    # Into the prompt's box, the password, back to OK, press it.
    window=$(timeout 20 xdotool search --sync --name "Enter a server password" | head -1) &&
        xdotool windowfocus --sync "$window" key Tab type secret17 &&
        xdotool key shift+Tab key space || true
    for _ in $(seq 40); do
        greeting=$(timeout 2 bash -c 'exec 3<>/dev/tcp/127.0.0.1/100 && head -c 13 <&3' 2>/dev/null) &&
            break
        sleep 0.5
    done
    check "nobody's installed program greets a client on port 100" \
        '[ "${greeting:-}" = ":ID:1secret17" ] && ss -Htlnp "sport = :100" | grep -q talkmere-server'
fi
[ $failures -eq 0 ] || {
    cat "$tmp"/*.log >&2
    echo "$failures package checks failed"
    exit 1
}
echo "All package checks passed."
