#!/usr/bin/env bash
# Inside a SysV sandbox (tests/e2e/checks/options-and-unknown-services):
#   options-and-unknown-services.sh BUILD_DIR
# Prints one line per failed expectation and exits 1 when any failed.
set -uo pipefail

build=$1
lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
failures=0
errfile=/run/options.stderr
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
note() { echo "--- $*"; }
run() {  # the program, keeping its status, standard output and error
    out=$("$@" 2>"$errfile") && rc=0 || rc=$?
    err=$(cat "$errfile")
}
seen() { echo "status $rc (stdout: ${out:0:300}) (stderr: ${err:0:300})"; }

cmake --install "$build" >/dev/null || { echo "cannot install the program" >&2; exit 1; }
export PATH=/usr/local/sbin:$PATH
. "$lib/testd.sh"
testd_install "$build"

# --- abbreviated options -------------------------------------------------------
# The test daemon under a name of its own, as every catalogue service has.
testd_define ztestd
base=$(command -v zidavoveva_service)
ln -sf "$base" /usr/local/sbin/zidavoveva_ztestd
ln -sf "$base" /usr/local/sbin/stopztestd
ln -sf "$base" /usr/local/sbin/stopslowd
run zidavoveva_ztestd
[ "$rc" = 0 ] && testd_up ztestd || fail "the test daemon did not start: $(seen)"
pid=$(testd_pid ztestd)
unchanged() {  # what was run: the daemon runs on with the same pid
    [ "$(testd_pid ztestd)" = "$pid" ] && testd_up ztestd &&
        [ "$(testd_processes ztestd)" = "$pid " ] ||
        fail "$1 touched the daemon: pid $pid -> $(testd_pid ztestd), running: $(testd_processes ztestd)"
}
for option in --he --hel --help -h; do
    run zidavoveva_ztestd "$option"
    { [ "$rc" = 0 ] && grep -q "^Usage: zidavoveva_ztestd" <<<"$out"; } || fail "$option: $(seen)"
    unchanged "zidavoveva_ztestd $option"
    run stopztestd "$option"
    [ "$rc" = 0 ] || fail "stopztestd $option: $(seen)"
    unchanged "stopztestd $option"
done
note "--he, --hel, --help, -h show the usage; the daemon runs on as pid $pid"
for option in --h --s --no --re --sys; do
    run zidavoveva_ztestd "$option"
    { [ "$rc" = 255 ] && [ -z "$out" ] && grep -q "“$option” is ambiguous" <<<"$err"; } ||
        fail "$option: $(seen)"
    unchanged "zidavoveva_ztestd $option"
done
note "--h, --s, --no, --re, --sys: refused as ambiguous ($(head -1 <<<"$err"))"
# A check stays a check under the stop name, abbreviated too.
run stopztestd --che
{ [ "$rc" = 0 ] && grep -q "is running" <<<"$out"; } || fail "stopztestd --che: $(seen)"
unchanged "stopztestd --che"
# An abbreviated --skip-if-absent does what it says.
cat >/etc/zidavoveva/services/Ghostd.json <<'JSON'
{ "is_enabled": true, "service_package": ["zidavoveva-no-such-package"],
  "service_binary": "/usr/sbin/zidavoveva-ghostd", "pidfile": "/run/ghostd.pid" }
JSON
run zidavoveva_service ghostd --skip
[ "$rc" = 0 ] || fail "--skip for a service that is not installed: $(seen)"
run zidavoveva_service ghostd
[ "$rc" != 0 ] || fail "a service that is not installed succeeded without --skip-if-absent"
note "stopztestd --che checks; --skip skips a service that is not installed"

# --- a service this server does not know ------------------------------------------
# An init script, and nothing else: no class, no definition, no monitor entry.
install -m 755 "$build/tests/daemon/zidavoveva_testd" /usr/local/sbin/slowd
cat >/etc/init.d/slowd <<'SCRIPT'
#!/bin/sh
case "$1" in
start) /usr/local/sbin/slowd --daemonize --name slowd --pidfile /run/slowd.pid ;;
stop) [ -s /run/slowd.pid ] && kill "$(cat /run/slowd.pid)" ;;
reload) [ -s /run/slowd.pid ] && kill -HUP "$(cat /run/slowd.pid)" ;;
*) exit 3 ;;
esac
SCRIPT
chmod 755 /etc/init.d/slowd
unknown() {  # what was run: refused as unknown, with what would make it known
    { [ "$rc" = 255 ] && grep -q "does not know the service “slowd”" <<<"$err" &&
        grep -q "no definition and no service-monitor entry" <<<"$err" &&
        grep -q "/etc/zidavoveva/services/Slowd.json" <<<"$err" &&
        ! grep -q "disabled" <<<"$err$out"; } || fail "$1: $(seen)"
}
run zidavoveva_service slowd
unknown "a restart of slowd, stopped"
[ -z "$(testd_processes slowd)" ] || fail "slowd was started: $(testd_processes slowd)"
/etc/init.d/slowd start >/dev/null 2>&1
slowpid=$(testd_pid slowd)
# Running: the generic defaults cannot see it (a stop said "stopped" while it
# ran on, a restart stopped it for being "disabled"); every action is refused.
for action in "" --start --stop --reload --status --check; do
    run zidavoveva_service slowd $action
    unknown "${action:-a restart} of slowd, running"
    [ "$(testd_pid slowd)" = "$slowpid" ] && testd_up slowd ||
        fail "${action:-a restart} of slowd, running, touched it: pid $slowpid -> $(testd_pid slowd)"
done
run stopslowd
unknown "stopslowd, running"
note "slowd (an init script only): $(head -1 <<<"$err")"
# Described by a definition, it is known and restarts.
printf '{ "service_binary": "/usr/local/sbin/slowd", "pidfile": "/run/slowd.pid" }\n' \
    >/etc/zidavoveva/services/Slowd.json
run zidavoveva_service slowd
{ [ "$rc" = 0 ] && testd_up slowd && [ "$(testd_pid slowd)" != "$slowpid" ]; } ||
    fail "slowd with a definition: $(seen)"
note "with /etc/zidavoveva/services/Slowd.json it restarts: pid $slowpid -> $(testd_pid slowd)"

if [ "$failures" -ne 0 ]; then
    echo "options-and-unknown-services: $failures failures" >&2
    exit 1
fi
note "all passed"
