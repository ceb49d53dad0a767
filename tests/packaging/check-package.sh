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
check() { # check DESCRIPTION SHELL-CONDITION
    if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1" >&2 && failures=$((failures + 1)); fi
}
tmp=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT

app=example.talkmere.server
version=$(sed -n 's/^project(TalkmereServer VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
depends=$(dpkg-deb -f "$deb" Depends)
check "talkmere-server $version" \
    '[ "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)" = "talkmere-server $version" ]'
for need in libcap2-bin qt6-qpa-plugins libqt6widgets6 libqt6network6 libc6; do
    check "depends on $need" 'grep -qw -- "$need" <<<"$depends"'
done

printf '%s\n' ./usr/bin/talkmere-server ./usr/share/applications/$app.desktop \
    ./usr/share/doc/talkmere-server/changelog.gz ./usr/share/doc/talkmere-server/copyright \
    ./usr/share/icons/hicolor/scalable/apps/$app.svg ./usr/share/man/man1/talkmere-server.1.gz \
    ./usr/share/metainfo/$app.metainfo.xml >"$tmp/expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$tmp/files"
check "holds exactly the program and its files" 'diff "$tmp/expected" "$tmp/files"'

dpkg-deb -e "$deb" "$tmp/control"
check "post-installation script grants the installed binary cap_net_bind_service, nothing more" \
    '[ -x "$tmp/control/postinst" ] && grep -v "^ *#" "$tmp/control/postinst" |
     grep -q "setcap cap_net_bind_service=+ep /usr/bin/talkmere-server" &&
     ! grep -v "^ *#" "$tmp/control/postinst" | grep -qE "chmod|chown|cap_(sys|set|dac|fowner)"'
echo "lintian (its warnings, if any, are shown):"
check "lintian finds no errors" 'lintian --fail-on error "$deb"'

dpkg-deb -x "$deb" "$tmp/root"
desktop=$tmp/root/usr/share/applications/$app.desktop
metainfo=$tmp/root/usr/share/metainfo/$app.metainfo.xml
check "desktop entry is valid" 'desktop-file-validate "$desktop"'
for line in "Name=Talkmere Server" "Exec=talkmere-server" "Icon=$app" "Terminal=false" \
    "Categories=Network;Chat;"; do
    check "desktop entry has $line" 'grep -qxF "$line" "$desktop"'
done
check "desktop entry has a one-line comment" 'grep -qE "^Comment=.+" "$desktop"'
check "AppStream metadata is valid" 'appstreamcli validate --no-net "$metainfo"'
check "AppStream metadata has a screenshot and this version" \
    'grep -q "<screenshot type=\"default\">" "$metainfo" &&
     grep -q "<release version=\"$version\"" "$metainfo"'
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
[ $failures -eq 0 ] || { cat "$tmp/start.log" >&2; echo "$failures package checks failed"; exit 1; }
echo "All package checks passed."
