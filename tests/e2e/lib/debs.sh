# Real Debian daemons for end-to-end checks, installed only inside a sandbox.
# Source this file, then:
#
#   on the host:        download_debs cron openssh-server || exit 77
#   inside a sandbox:   install_debs_in_sandbox cron openssh-server
#
# download_debs fetches the packages, and whichever of their dependencies this
# machine lacks, as .deb files into DEB_CACHE_DIR (default: BUILD_DIR/e2e-debs,
# one folder per package set); it installs nothing on the host. It returns 1
# with the reason on standard error when they cannot be downloaded, so the
# caller can skip. Packages already installed on the host need no download:
# a sandbox's root is an overlay of the host's.
#
# install_debs_in_sandbox installs those files with dpkg into the sandbox's
# overlay, behind a policy-rc.d that keeps every service from being started
# (or stopped) by the packages' scripts. It refuses to run on a root that is
# not an overlay, so the host is never changed by mistake.

debs_dir_for() {
    local base=${DEB_CACHE_DIR:-${BUILD_DIR:-build}/e2e-debs}
    local IFS=_
    echo "$base/$*"
}

installed() {  # package...: each one is installed here
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || return 1
    done
}

download_debs() {
    local dir
    dir=$(debs_dir_for "$@")
    if [ -f "$dir/.complete" ]; then
        return 0
    fi
    mkdir -p "$dir/partial"
    local missing=()
    local pkg
    for pkg in "$@"; do
        installed "$pkg" || missing+=("$pkg")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        local log=$dir/download.log
        # The package lists may be missing on a fresh machine. Another check may
        # be downloading at the same time: wait for its lock rather than fail.
        if ! apt-get install --download-only -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300 \
            -o Dir::Cache::archives="$dir" "${missing[@]}" >"$log" 2>&1; then
            apt-get update -qq >>"$log" 2>&1 || true
            if ! apt-get install --download-only -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300 \
                -o Dir::Cache::archives="$dir" "${missing[@]}" >>"$log" 2>&1; then
                echo "debs: cannot download ${missing[*]}: $(tail -n 1 "$log")" >&2
                return 1
            fi
        fi
    fi
    touch "$dir/.complete"
}

install_debs_in_sandbox() {
    local dir
    dir=$(debs_dir_for "$@")
    if [ "$(stat -f -c %T /)" != overlayfs ]; then
        echo "debs: refusing to install packages outside a sandbox" >&2
        return 1
    fi
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    # A root that has them all already (tests/e2e/debian13-root.sh makes one)
    # needs nothing from this machine's archive.
    installed "$@" && return 0
    # Such a root keeps the packages that conflict with its own in
    # /var/cache/e2e-debs; apt puts them in place of those they conflict with.
    if [ -d /var/cache/e2e-debs ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-download \
            -o Dir::Cache::archives=/var/cache/e2e-debs -o DPkg::NoTriggers=true \
            -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
            "$@" >/tmp/debs-install.log 2>&1 || { tail -n 20 /tmp/debs-install.log >&2; return 1; }
        return 0
    fi
    [ -f "$dir/.complete" ] || { echo "debs: $* not downloaded (download_debs first)" >&2; return 1; }
    local debs=("$dir"/*.deb)
    [ -e "${debs[0]}" ] || return 0
    # apt orders the installation (pre-dependencies) from the files alone.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-download \
        -o Dir::Cache::archives="$dir" -o DPkg::NoTriggers=true \
        -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
        "${debs[@]}" >/tmp/debs-install.log 2>&1 || {
        tail -n 20 /tmp/debs-install.log >&2
        return 1
    }
}
