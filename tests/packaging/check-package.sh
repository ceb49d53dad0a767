#!/usr/bin/env bash
# Checks the Debian package that ./package made: its control data, that it holds the program and
# its desktop files and nothing else, that Debian's and the desktop's validators accept it, and that
# the unpacked program starts as far as its password prompt. Exits non-zero if any check fails.
# Usage: tests/packaging/check-package.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "${1:?usage: $0 PACKAGE.deb}")
cd "$(dirname "$0")/../.."
source scripts/setup.sh
talkmere_setup lintian desktop-file-utils appstream man-db

failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what" >&2
        failures=$((failures + 1))
    fi
}
has_word() { grep -qw -- "$2" <<<"$1"; }

tmp=$(mktemp -d)
program_pid=
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

app=example.talkmere.server
version=$(sed -n 's/^project(TalkmereServer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
depends=$(dpkg-deb -f "$deb" Depends)
check "name and version $version" \
    test "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)" = "talkmere-server $version"
check "depends on setcap and the Qt window plugins" \
    eval 'has_word "$depends" libcap2-bin && has_word "$depends" qt6-qpa-plugins'
check "depends on the libraries the binary links (Depends: $depends)" \
    eval 'has_word "$depends" libqt6widgets6 && has_word "$depends" libqt6network6 &&
          has_word "$depends" libc6'

cat >"$tmp/expected" <<LIST
./usr/bin/talkmere-server
./usr/share/applications/$app.desktop
./usr/share/doc/talkmere-server/changelog.gz
./usr/share/doc/talkmere-server/copyright
./usr/share/icons/hicolor/scalable/apps/$app.svg
./usr/share/man/man1/talkmere-server.1.gz
./usr/share/metainfo/$app.metainfo.xml
LIST
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$tmp/files"
check "holds exactly the program and its files" diff "$tmp/expected" "$tmp/files"

dpkg-deb -e "$deb" "$tmp/control"
check "post-installation script grants the installed binary cap_net_bind_service" \
    eval 'test -x "$tmp/control/postinst" &&
          grep -q "setcap cap_net_bind_service=+ep /usr/bin/talkmere-server" "$tmp/control/postinst"'
check "no other capability or set-id bit is granted" \
    eval '! grep -v "^ *#" "$tmp/control/postinst" | grep -E "chmod|cap_(sys|setuid|setgid|dac)"'

echo "lintian (warnings and notes are shown; an error fails the check):"
check "lintian finds no errors" lintian --fail-on error "$deb"

dpkg-deb -x "$deb" "$tmp/root"
desktop=$tmp/root/usr/share/applications/$app.desktop
check "desktop entry is valid" desktop-file-validate "$desktop"
for line in "Name=Talkmere Server" "Exec=talkmere-server" "Icon=$app" "Terminal=false" \
    "Categories=Network;Chat;"; do
    check "desktop entry has $line" grep -qxF "$line" "$desktop"
done
check "desktop entry has a one-line comment" grep -qE '^Comment=.+' "$desktop"
check "AppStream metadata is valid" \
    appstreamcli validate --no-net "$tmp/root/usr/share/metainfo/$app.metainfo.xml"
check "AppStream metadata names a screenshot and the version" \
    eval 'grep -q "<screenshot type=\"default\">" "$tmp/root/usr/share/metainfo/$app.metainfo.xml" &&
          grep -q "<release version=\"$version\"" "$tmp/root/usr/share/metainfo/$app.metainfo.xml"'
check "manual page renders without warnings" \
    eval '! man --warnings -l "$tmp/root/usr/share/man/man1/talkmere-server.1.gz" 2>&1 >/dev/null |
          grep .'

# The unpacked program, on the system's Qt, as far as its first window. Qt's accessibility cache
# reports each widget that comes up; the prompt window's entry says it is shown (no "invisible").
QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES=qt.accessibility.cache.debug=true \
    "$tmp/root/usr/bin/talkmere-server" >"$tmp/start.log" 2>&1 &
program_pid=$!
prompt='name="Enter a server password" role=Window.*obj=talkmere::frmStart'
for _ in $(seq 300); do
    grep -q "$prompt" "$tmp/start.log" && break
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
done
check "the unpacked program shows the password prompt" \
    eval 'grep "$prompt" "$tmp/start.log" | grep -qv invisible && kill -0 "$program_pid"'
[ $failures -eq 0 ] || cat "$tmp/start.log" >&2

if [ $failures -ne 0 ]; then
    echo "$failures package checks failed"
    exit 1
fi
echo "All package checks passed."
