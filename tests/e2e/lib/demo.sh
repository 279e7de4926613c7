#!/usr/bin/env bash
# The inside of scripts/demo: runs in the sandbox, never on the host.
set -uo pipefail
build=$1
cmake --install "$build" >/dev/null
export PATH=/usr/local/sbin:$PATH TERM=${TERM:-xterm-256color}
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d; chmod 755 /usr/sbin/policy-rc.d
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-download cron >/dev/null 2>&1
rm -f /usr/sbin/policy-rc.d
systemctl daemon-reload; systemctl stop cron 2>/dev/null
show() { printf '\n\033[1m$ %s\033[0m\n' "$*"; "$@"; echo "(exit status $?)"; }
show zidavoveva_crond --status
show zidavoveva_crond
show zidavoveva_crond --status
show stopcrond
mkdir -p /etc/zidavoveva/services
cat >/etc/zidavoveva/services/Demod.json <<'JSON'
{
  "is_enabled": true,
  "is_tavrel_service": true,
  "service_binary": "/bin/sh",
  "startup_args": ["-c", "echo 'demod: cannot open /etc/demod.conf: No such file or directory' >&2; exit 1"],
  "pidfile": "/run/demod.pid",
  "startup_timeout": 1
}
JSON
printf '\n/etc/zidavoveva/services/Demod.json describes a test daemon that cannot start:\n'
cat /etc/zidavoveva/services/Demod.json
show zidavoveva_service demod
