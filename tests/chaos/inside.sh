#!/usr/bin/env bash
# Inside a sandbox (SysV or systemd): installs the real daemons of the pool
# from the downloaded packages, then runs the campaign or the observer's tests.
#
#   inside.sh BUILD_DIR campaign --runs N --seed S
#   inside.sh BUILD_DIR observer-tests
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1 what=$2
shift 2
export BUILD_DIR=$build
. "$here/../e2e/lib/debs.sh"
# A copy of the packages: apt locks the folder it installs from, and two
# campaigns may run at once.
packages=$(debs_dir_for cron openssh-server rsyslog)
mkdir -p /tmp/chaos-debs
cp -r "$packages" /tmp/chaos-debs/
rm -f "/tmp/chaos-debs/$(basename "$packages")/lock"
DEB_CACHE_DIR=/tmp/chaos-debs install_debs_in_sandbox cron openssh-server rsyslog
export PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin
# The checkout is bound in: no byte-code written into it.
export PYTHONDONTWRITEBYTECODE=1
case $what in
campaign) exec python3 -u "$here/campaign.py" --build "$build" "$@" ;;
observer-tests) exec python3 -u "$here/observer_test.py" --build "$build" "$@" ;;
*) echo "inside.sh: unknown $what" >&2; exit 2 ;;
esac
