"""The services a chaos campaign drives, and how they are set up in a sandbox.

Each service is described here once, as data: how the tool knows it (its
definition), how the init system runs it (init script or unit), and how the
observer recognises its processes. The observer reads only these facts and
the system itself, never the tool's code.

Every test daemon is a copy of the project's test daemon installed under the
service's own program name, so a process table shows it as that program.
"""

import json
import os
import pwd
import shutil
import socket
import stat
import subprocess

CHAOS = "/run/chaos"
DEFS = "/etc/zidavoveva/services"
SBIN = "/usr/local/sbin"
TESTD_BUILT = "tests/daemon/zidavoveva_testd"


class Service:
    """One service word of the pool and the facts the observer needs."""

    def __init__(self, word, **facts):
        self.word = word
        self.daemon = facts.get("daemon", word)  # the --name its daemon carries
        self.unit = facts.get("unit", self.daemon)  # unit and init script name
        self.program = facts.get("program", f"{SBIN}/{self.daemon}")
        self.pidfile = facts.get("pidfile", f"/run/{self.daemon}.pid")
        self.port = facts.get("port")  # TCP (and UDP) on 127.0.0.1
        self.forking = facts.get("forking", True)
        self.options = facts.get("options", [])
        self.definition = facts.get("definition", {})
        self.systemd_only = facts.get("systemd_only", False)
        self.unit_extra = facts.get("unit_extra", "")
        self.real = facts.get("real", False)  # a Debian daemon, not ours
        self.launched = facts.get("launched", False)  # the tool starts it itself
        self.hang_mode = facts.get("hang_mode", False)
        self.config_test = facts.get("config_test", False)
        self.mortal = facts.get("mortal", False)  # dies when its config says so
        self.restart_always = facts.get("restart_always", False)
        self.socket = facts.get("socket", False)
        self.socket_port = facts.get("socket_port")
        self.pair = facts.get("pair")  # the other word of the same daemon

    def config_file(self):
        return f"{CHAOS}/{self.daemon}.conf"

    def record_file(self):
        return f"{CHAOS}/{self.daemon}.record"

    def daemon_argv(self):
        argv = [self.program, "--name", self.daemon, "--record", self.record_file(),
                "--config", self.config_file()]
        if self.forking:
            argv += ["--daemonize", "--pidfile", self.pidfile]
        if self.port:
            argv += ["--listen", str(self.port), "--udp"]
        return argv + self.options

    def identifies(self, argv, uid, exe):
        """Whether a process with this argv, uid and program is this service's."""
        if uid != 0:
            return False
        if self.real:
            return exe == self.program
        if exe != self.program:
            return False
        for i in range(len(argv) - 1):
            if argv[i] == "--name" and argv[i + 1] == self.daemon:
                return True
        return False


def make_pool(ports, systemd):
    """The pool's services; ports: three free TCP ports for this sandbox."""
    quick = {"startup_timeout": 4, "command_timeout": 8}
    services = [
        Service("zplain", definition=dict(quick)),
        Service("zport", port=ports[0],
                definition=dict(quick, ports=[ports[0]], listen_addresses=["127.0.0.1"])),
        Service("znopid", forking=False, pidfile=None, definition=dict(quick)),
        Service("zslow", options=["--start-delay", "1.2", "--stop-delay", "1.5",
                                  "--pidfile-delay", "0.3"],
                definition=dict(quick, startup_timeout=6)),
        Service("zstub", options=["--ignore-term"], definition=dict(quick),
                unit_extra="TimeoutStopSec=3\n"),
        Service("zdie", mortal=True, definition=dict(quick)),
        Service("zalways", mortal=True, restart_always=True, definition=dict(quick),
                unit_extra="Restart=always\nRestartSec=0.3\n"),
        Service("zconf", config_test=True,
                definition=dict(quick, config_test=["/bin/sh", "-c",
                                                    f"! test -e {CHAOS}/zconf.broken"])),
        Service("zhang", hang_mode=True, definition=dict(quick, command_timeout=3),
                unit_extra="TimeoutStartSec=6\nTimeoutStopSec=6\n"),
        Service("zpair", pair="zpair2",
                definition=dict(quick, service_override="zpair")),
        Service("zpair2", daemon="zpair", pair="zpair",
                definition=dict(quick, service_override="zpair")),
        Service("zown", launched=True, port=ports[1], definition=dict(
            quick, is_tavrel_service=True, ports=[ports[1]], listen_addresses=["127.0.0.1"])),
        Service("crond", real=True, daemon="cron", unit="cron", program="/usr/sbin/cron",
                pidfile="/run/crond.pid"),
        Service("sshd", real=True, daemon="sshd", unit="ssh", program="/usr/sbin/sshd",
                pidfile="/run/sshd.pid"),
        Service("rsyslogd", real=True, daemon="rsyslogd", unit="rsyslog",
                program="/usr/sbin/rsyslogd", pidfile="/run/rsyslogd.pid",
                socket=systemd),
    ]
    if systemd:
        services.append(Service("zsock", forking=False, pidfile=None, socket=True,
                                socket_port=ports[2], systemd_only=True, definition=dict(quick)))
    return services


# --- setting the pool up (inside a sandbox only) ------------------------------

def _write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def _module(word):
    name = word.replace("-", "_").replace(".", "_").replace("@", "_")
    return name[0].upper() + name[1:]


def _shell_words(argv):
    return " ".join("'" + a.replace("'", "'\\''") + "'" for a in argv)


def _init_script(svc):
    """An init script as administrators write them; zhang's obeys its mode file."""
    run = _shell_words(svc.daemon_argv())
    if svc.forking:
        start = run
        # As Debian's scripts do: the pid file's process is signalled only
        # when it runs the program (a fault may write another pid there).
        stop = (f"start-stop-daemon --stop --quiet --oknodo --pidfile {svc.pidfile} "
                f"--exec {svc.program} --retry TERM/2")
    else:
        start = f"setsid {run} </dev/null >/dev/null 2>&1 &"
        stop = f"pkill -TERM -u 0 -f -- '--name {svc.daemon} '; exit 0"
    reload = "exit 3"
    if svc.pidfile:
        reload = (f"start-stop-daemon --stop --signal HUP --quiet --pidfile {svc.pidfile} "
                  f"--exec {svc.program}")
    mode = ""
    if svc.hang_mode:
        mode = (f'mode=$(cat {CHAOS}/{svc.daemon}.mode 2>/dev/null)\n'
                f'[ "$mode" = hang ] && [ "$1" != status ] && exec sleep 1000\n'
                f'[ "$mode" = fail ] && [ "$1" != status ] && {{ echo "{svc.daemon}: $1 failed" >&2; exit 1; }}\n')
    return (f"#!/bin/sh\n{mode}case \"$1\" in\n"
            f"start) {start} ;;\n"
            f"stop) {stop} ;;\n"
            f"restart) \"$0\" stop; \"$0\" start ;;\n"
            f"reload) {reload} ;;\n"
            f"status) exit 3 ;;\n"
            f"*) exit 0 ;;\nesac\n")


def _unit(svc):
    argv = _shell_words(svc.daemon_argv())
    lines = ["[Unit]", f"Description=chaos {svc.word}"]
    if svc.socket:
        lines += [f"Requires={svc.unit}.socket", f"After={svc.unit}.socket"]
    lines.append("[Service]")
    if svc.forking:
        lines += ["Type=forking", f"PIDFile={svc.pidfile}"]
    else:
        lines.append("Type=simple")
    if svc.hang_mode:
        lines.append(f"ExecStartPre=/bin/sh -c 'm=$(cat {CHAOS}/{svc.daemon}.mode 2>/dev/null); "
                     "[ \"$m\" = hang ] && exec sleep 1000; [ \"$m\" = fail ] && exit 1; exit 0'")
        lines.append(f"ExecStopPost=/bin/sh -c 'm=$(cat {CHAOS}/{svc.daemon}.mode 2>/dev/null); "
                     "[ \"$m\" = hang ] && exec sleep 1000; exit 0'")
    lines.append(f"ExecStart={argv}")
    if svc.pidfile:
        lines.append("ExecReload=/bin/kill -HUP $MAINPID")
    return "\n".join(lines) + "\n" + svc.unit_extra


def _definition(svc):
    attrs = {"service_binary": svc.program}
    if svc.pidfile:
        attrs["pidfile"] = svc.pidfile
    attrs.update(svc.definition)
    if svc.launched:
        attrs["startup_args"] = svc.daemon_argv()[1:]
    return json.dumps(attrs, indent=1) + "\n"


def install(build, services, systemd):
    """Installs the tool, the daemons, their scripts, units and definitions."""
    subprocess.run(["cmake", "--install", build], check=True, stdout=subprocess.DEVNULL)
    os.makedirs(CHAOS, exist_ok=True)
    os.makedirs(DEFS, exist_ok=True)
    for svc in services:
        if svc.real:
            continue
        if not os.path.exists(svc.program):
            shutil.copy(os.path.join(build, TESTD_BUILT), svc.program)
            os.chmod(svc.program, 0o755)
        _write(svc.config_file(), "")
        _write(f"{DEFS}/{_module(svc.word)}.json", _definition(svc))
        if svc.launched or svc.word != svc.daemon:
            continue
        if svc.hang_mode:
            _write(f"{CHAOS}/{svc.daemon}.mode", "ok\n")
        if systemd:
            _write(f"/etc/systemd/system/{svc.unit}.service", _unit(svc))
            if svc.socket:
                _write(f"/etc/systemd/system/{svc.unit}.socket",
                       f"[Socket]\nListenStream=127.0.0.1:{svc.socket_port}\n")
        else:
            _write(f"/etc/init.d/{svc.unit}", _init_script(svc), 0o755)
    if systemd:
        subprocess.run(["systemctl", "daemon-reload"], check=True)


def free_ports(count):
    """Ports nothing listens on, on 127.0.0.1 (the systemd sandbox shares the host's)."""
    found, socks = [], []
    while len(found) < count:
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        socks.append(s)
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            u.bind(("127.0.0.1", port))
            found.append(port)
        except OSError:
            pass
        u.close()
    for s in socks:
        s.close()
    return found


def nobody():
    entry = pwd.getpwnam("nobody")
    return entry.pw_uid, entry.pw_gid


def is_regular(path):
    try:
        return stat.S_ISREG(os.lstat(path).st_mode)
    except OSError:
        return False
