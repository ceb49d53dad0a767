#!/bin/sh
# Runs a test as a normal user beside a bind helper that holds its capability, as after
# installation. As root: copies both where any user may run them, grants the copy of the helper
# cap_net_bind_service (as the package and ./run do) and drops to nobody. As anybody else: runs
# the test as it is, with the build tree's helper.
# Usage: as-normal-user.sh HELPER TEST [ARGS...]
set -eu
helper=$1
test=$2
shift 2
# Port 100 is shared with the benchmarks and the package check on a developer's machine.
lock=/tmp/port100.lock
if [ -w "$lock" ] || { [ ! -e "$lock" ] && [ -w /tmp ]; }; then
    exec 9>>"$lock"
    flock -w 240 9 || echo "as-normal-user: $lock still held after 240 s; going on" >&2
fi
if [ "$(id -u)" -ne 0 ]; then
    TALKMERE_TEST_BIND_HELPER=$helper exec "$test" "$@"
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
chmod 755 "$dir"
cp "$helper" "$dir/bind-helper"
cp "$test" "$dir/test"
setcap cap_net_bind_service=+ep "$dir/bind-helper"
case "${LSAN_OPTIONS:-}" in
*suppressions=*) # the sanitizer's file must be readable by nobody too
    cp "${LSAN_OPTIONS#*suppressions=}" "$dir/lsan.supp"
    LSAN_OPTIONS=suppressions=$dir/lsan.supp ;;
esac
TALKMERE_TEST_BIND_HELPER=$dir/bind-helper setpriv --reuid=nobody --regid=nogroup \
    --clear-groups --inh-caps=-all "$dir/test" "$@"
