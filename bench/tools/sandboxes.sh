# What the benchmark scripts that time commands inside the throw-away
# sandboxes of tests/e2e share (sourced, never run; `here` is the checkout):
#
#   . "$here/bench/tools/sandboxes.sh"
#   header "SysV, cron" service        # the head of a table of benchtimer rows
#   bench_in_sandboxes NAME SCRIPT "PACKAGE ..." [sysv|systemd]...

# header TITLE B [A]: a table of A (the program, unless named) against B.
header() {
    local a=${3:-zidavoveva}
    echo "| $1 | $a ms: median (best) | $2 ms: median (best) | ratio | $a peak RSS | $2 peak RSS | rounds | target |"
    echo "| --- | --- | --- | --- | --- | --- | --- | --- |"
}

# The host side: checks what the sandboxes need (root, unshare, the build, the packages,
# which are downloaded here and installed only inside), then runs
# `SCRIPT --inside MODE BUILD` in each sandbox asked for (both by default) and
# exits with 1 when any run failed. Without what it needs it says why and
# exits 0: a benchmark is run on demand, not as a test.
bench_in_sandboxes() {
    local name=$1 script=$2 packages=$3
    shift 3
    skip() { echo "$name: skipped: $*"; exit 0; }
    local build
    build=$(cd "${BUILD_DIR:-$here/build-bench}" 2>/dev/null && pwd) || skip "no build in ${BUILD_DIR:-$here/build-bench}"
    export BUILD_DIR=$build
    [ "$(id -u)" -eq 0 ] || skip "needs root for the sandboxes"
    command -v unshare >/dev/null || skip "unshare is not installed"
    local f
    for f in src/zidavoveva_base tests/daemon/zidavoveva_testinit bench/benchtimer; do
        [ -x "$build/$f" ] || skip "$build/$f is not built"
    done
    . "$here/tests/e2e/lib/debs.sh"
    # shellcheck disable=SC2086
    download_debs $packages >/dev/null || skip "the packages ($packages) cannot be downloaded"

    local modes=("$@") mode sandbox rc status=0
    [ "${#modes[@]}" -gt 0 ] || modes=(sysv systemd)
    for mode in "${modes[@]}"; do
        case "$mode" in
        sysv) sandbox=$here/tests/e2e/sysv-sandbox.sh ;;
        systemd) sandbox=$here/tests/e2e/systemd-sandbox.sh ;;
        *) echo "unknown mode $mode (sysv or systemd)" >&2; exit 2 ;;
        esac
        "$sandbox" /bin/bash "$script" --inside "$mode" "$build"
        rc=$?
        if [ "$rc" = 77 ]; then
            echo "$name: $mode: skipped (no sandbox here)"
        elif [ "$rc" != 0 ]; then
            status=1
        fi
        echo
    done
    exit "$status"
}
