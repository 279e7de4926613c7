# Sourced by the first process of a sandbox (tests/e2e/systemd-sandbox.sh,
# tests/e2e/sysv-sandbox.sh), in its own mount namespace:
#
#   sandbox_root SCRATCH BINDS [own-cgroups|unified-cgroups]
#
# makes an overlay of / (or of SANDBOX_ROOT, another system's root such as
# the one tests/e2e/debian13-root.sh makes, with SANDBOX_LIBS for the
# libraries of this machine it lacks) whose writable layer lives on a
# tmpfs mounted at
# SCRATCH (so every write vanishes with the sandbox), with proc, /sys and
# /dev, tmpfs on /run and /tmp, and the host directories listed in BINDS
# (colon-separated) bound at their own paths; then makes it the root and
# checks that it is. Host directories other than BINDS are never written.
# With own-cgroups (a sandbox in a cgroup namespace of its own), systemd's
# control-group hierarchies are mounted afresh, rooted at that namespace;
# with unified-cgroups, /sys/fs/cgroup is one cgroup2 hierarchy rooted there,
# the only layout a systemd of version 256 or later boots on.
sandbox_root() {
    local scratch=$1 binds=$2 cgroups=${3:-} root dir
    mount --make-rprivate /
    mount -t tmpfs -o mode=0700 tmpfs "$scratch"
    mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
    root=$scratch/root
    mount -t overlay overlay -o "lowerdir=${SANDBOX_ROOT:-/},upperdir=$scratch/upper,workdir=$scratch/work" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    # Mounted afresh in the namespace, systemd's two hierarchies show its own
    # group as their root: the host's tree, and other sandboxes' units, stay
    # out of its sight. (A hierarchy cannot be mounted over itself: the bound
    # copy goes first.)
    local hierarchy
    if [ "$cgroups" = own-cgroups ]; then
        for hierarchy in systemd unified; do
            [ -f "/sys/fs/cgroup/$hierarchy/cgroup.procs" ] || continue
            umount "$root/sys/fs/cgroup/$hierarchy" || continue
            if [ "$hierarchy" = systemd ]; then
                mount -t cgroup -o none,name=systemd cgroup "$root/sys/fs/cgroup/systemd"
            else
                mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup/unified"
            fi || mount --rbind "/sys/fs/cgroup/$hierarchy" "$root/sys/fs/cgroup/$hierarchy"
        done
    fi
    if [ "$cgroups" = unified-cgroups ]; then
        umount -R "$root/sys/fs/cgroup"
        mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
    fi
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=0755 tmpfs "$root/run"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    local IFS=:
    for dir in $binds; do
        [ -d "$dir" ] || continue
        mkdir -p "$root$dir"
        mount --rbind "$dir" "$root$dir"
    done
    mkdir -p "$root/oldroot"
    cd "$root"
    pivot_root . oldroot
    umount -l /oldroot
    rmdir /oldroot
    cd /
    # Whatever runs next (systemd's boot-time clean-up above all) must never
    # meet the host's root.
    [ "$(stat -f -c %T /)" = overlayfs ] || { echo "sandbox root is not the overlay" >&2; return 1; }
    # SANDBOX_LIBS: a folder (bound in) of this machine's libraries that the
    # build's programs need and another system's root lacks.
    if [ -n "${SANDBOX_LIBS:-}" ]; then
        echo "$SANDBOX_LIBS" >/etc/ld.so.conf.d/zz-sandbox-libs.conf
        ldconfig
    fi
}
