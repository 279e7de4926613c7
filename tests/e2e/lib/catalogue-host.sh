# The host side of the catalogue checks: sourced by checks/catalogue*, never
# run by itself. Builds the program, then runs groups of Debian packages
# through lib/catalogue.sh in a SysV sandbox and a systemd sandbox.
#
#   name=catalogue; . "$e2e/lib/catalogue-host.sh"
#   run_group apache2 procps -- httpd:apache2:reload
#   finish
#
# Needs $e2e and $name; exits 77 (skip) when nothing can run here.

repo=$(cd "$e2e/../.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$repo/build}
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

skip() { echo "$name: skipped: $*" >&2; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
command -v unshare >/dev/null || skip "unshare is not installed"

cmake --build "$BUILD_DIR" --target zidavoveva_base zidavoveva_testinit test_Tavrel_Config_OS -j2 >/dev/null ||
    { echo "$name: build failed" >&2; exit 1; }
# The unit test that compares the release's facts with the installed
# packages, run in each sandbox with a group up (lib/catalogue.sh).
export CATALOGUE_FACTS_PROBE=${CATALOGUE_FACTS_PROBE:-$BUILD_DIR/src/test_Tavrel_Config_OS}
program=$(find "$BUILD_DIR" -name zidavoveva_base -type f -perm -u+x | head -n 1)
[ -n "$program" ] || { echo "$name: zidavoveva_base was not built" >&2; exit 1; }

# shellcheck source=debs.sh
. "$e2e/lib/debs.sh"

# run_group PACKAGES... -- WORD:PROCESS[:reload]...: one set of packages that
# can be installed together, checked in both kinds of sandbox. A set that
# cannot be downloaded is skipped on its own, and so is a sandbox this machine
# cannot make; finish then skips the whole check, after the rest has run.
ran=0
skipped=0
run_group() {
    local packages=() checks=()
    while [ "$1" != -- ]; do packages+=("$1"); shift; done
    shift
    checks=("$@")
    # A sandbox on another system's root (SANDBOX_ROOT) has its packages in
    # that root already; this machine's archive has the wrong ones.
    if [ -z "${SANDBOX_ROOT:-}" ] && ! download_debs "${packages[@]}"; then
        echo "$name: skipped ${checks[*]}: the Debian packages could not be downloaded" >&2
        skipped=1
        return 0
    fi
    ran=1
    local mode status
    for mode in sysv systemd; do
        status=0
        "$e2e/$mode-sandbox.sh" /bin/bash "$e2e/lib/catalogue.sh" "$e2e" "$program" "$mode" \
            "${checks[@]}" -- "${packages[@]}" || status=$?
        if [ "$status" -eq 77 ]; then
            echo "$name: the $mode half was skipped" >&2
            skipped=1
        elif [ "$status" -ne 0 ]; then
            exit "$status"
        fi
    done
}

# Skips when any part was skipped: a check that ran only in part proves only
# part.
finish() {
    [ "$ran" -eq 1 ] || skip "the Debian packages could not be downloaded"
    [ "$skipped" -eq 0 ] || skip "some of it could not run here (see above)"
    exit 0
}
