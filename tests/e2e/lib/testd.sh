# The project's test daemon as an administrator sets it up inside a sandbox
# (never on the host): the program installed under its own name, each service
# described by a definition in /etc/zidavoveva/services. Sourced by the
# end-to-end scripts that run inside a sandbox.
#
#   . tests/e2e/lib/testd.sh
#   testd_install "$build"
#   testd_define ztestd '"hot": true,' '"--listen", "40123",'
#   testd_up ztestd && echo "running as $(testd_pid ztestd)"

TESTD=/usr/local/sbin/zidavoveva_testd
TESTD_DEFS=/etc/zidavoveva/services

testd_install() {  # build directory
    install -m 755 "$1/tests/daemon/zidavoveva_testd" "$TESTD"
    mkdir -p "$TESTD_DEFS"
}

# testd_define WORD ATTRIBUTES DAEMON_OPTIONS: the definition of a service
# WORD launched by this tool (no init script) with a pid file
# /run/WORD.pid and a record /run/WORD.record. ATTRIBUTES are extra JSON
# members, each followed by a comma; DAEMON_OPTIONS extra daemon options, as
# JSON strings each followed by a comma.
testd_define() {
    local word=$1 attributes=${2:-} options=${3:-}
    local module
    module="$(tr '[:lower:]' '[:upper:]' <<<"${word:0:1}")${word:1}"
    cat >"$TESTD_DEFS/$module.json" <<JSON
{
  $attributes
  "is_tavrel_service": true,
  "service_binary": "$TESTD",
  "startup_args": [$options "--daemonize", "--name", "$word", "--pidfile", "/run/$word.pid",
                   "--record", "/run/$word.record"],
  "pidfile": "/run/$word.pid",
  "startup_timeout": 5
}
JSON
}

testd_pid() {  # word -> the pid its pid file names, or nothing
    cat "/run/$1.pid" 2>/dev/null
}

# A process that has ended (a zombie has) or never was.
gone() {
    [ ! -e "/proc/$1" ] || grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

testd_up() {  # word: its pid file names a running process
    local pid
    pid=$(testd_pid "$1")
    [ -n "$pid" ] && ! gone "$pid"
}

# The daemons of WORD still running (their names are given by --name WORD).
testd_processes() {
    local pid
    for pid in $(pgrep -f -- "--name $1 " 2>/dev/null); do
        gone "$pid" || printf '%s ' "$pid"
    done
}

testd_kill_all() {  # word: whatever is left of it, without asking the tool
    local pid
    for pid in $(testd_processes "$1"); do kill -KILL "$pid" 2>/dev/null; done
    rm -f "/run/$1.pid"
}

# A TCP port on 127.0.0.1 nothing listens on (the systemd sandbox shares the
# host's network).
free_port() {
    local port
    for _ in $(seq 50); do
        port=$((20000 + RANDOM % 20000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

listening() {  # port: something accepts connections on it
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}
