#!/usr/bin/env bash
# The inside of checks/daemon-output: runs in a sandbox, never on the host.
#
#   daemon-output.sh E2E_DIR BUILD_DIR
set -u
e2e=$1 build=$2
. "$e2e/lib/testd.sh"

failures=0
fail() { echo "daemon-output: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" >/dev/null || { echo "daemon-output: cannot install the program" >&2; exit 1; }
testd_install "$build"
testd_define zesc '' '"--config", "/run/zesc.conf",'
ln -sf zidavoveva_base /usr/local/sbin/startzesc
# The daemon names the line it does not understand, with its bytes as they are.
printf 'no-such-option \033]0;owned\007\033[2J\033[31mred\rhidden\n' >/run/zesc.conf
reason='unknown option no-such-option \x1b]0;owned\x07\x1b[2J\x1b[31mred\x0dhidden'

start() {  # what a failed start printed on standard output, in $out
    out=$(env -i PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb startzesc </dev/null 2>/dev/null)
    local status=$?
    [ "$status" = 255 ] || fail "$1: the start ended with $status, not 255: $out"
    grep -qF -- "$reason" <<<"$out" || fail "$1: the daemon's reason is not shown escaped: $out"
    if LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' <<<"$out"; then
        fail "$1: control characters reached standard output raw: $(od -c <<<"$out" | head -20)"
    fi
}

start "a writable log"

# A log directory on a read-only file system: the daemon's output has nowhere
# to go but this run's own keeping, and the run says the log is not kept.
mkdir -p /var/log/zidavoveva/startup
mount --bind /var/log/zidavoveva /var/log/zidavoveva && mount -o remount,bind,ro /var/log/zidavoveva ||
    { echo "daemon-output: cannot make the log directory read-only" >&2; exit 1; }
echo "daemon-output: with a writable log the start showed:"; sed 's/^/    /' <<<"$out"
start "a read-only log"
echo "daemon-output: with a read-only log the start showed:"; sed 's/^/    /' <<<"$out"
grep -qF 'could not be written (Read-only file system)' <<<"$out" ||
    fail "a read-only log: the run does not say that the startup log could not be written: $out"
testd_kill_all zesc

[ "$failures" -eq 0 ] && echo "daemon-output: ok"
[ "$failures" -eq 0 ]
