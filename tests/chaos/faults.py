"""Faults a campaign injects, and the bystanders whose harm it watches for.

A fault happens once, before a run or at a moment during it, and is undone
(its mounts and its foreign processes removed) when the step ends. A
bystander is a process that is not any service's: another account's copy of
a service's program, listeners of other accounts and programs on a service's
port, another unit's process; none may ever be signalled.
"""

import os
import random
import signal
import subprocess
import time

from look import processes, read_proc, record_events, service_processes
from pool import CHAOS, nobody

LOG_DIR = "/var/log/zidavoveva"

# Faults that act on the service or the tool while a run goes on.
DURING = ("kill-daemon", "kill-child", "kill-tool", "term-tool", "int-tool", "behind-back",
          "pidfile-removed", "pidfile-replaced", "pidfile-link")
# Faults set up before the run starts.
BEFORE = ("port-taken", "pid-taken", "logdir-full", "logdir-readonly")


def signals_seen(record):
    """What a bystander's record says reached it besides its own start."""
    return [event for _, _, event in record_events(record) if event not in ("start", "launch")]


def as_nobody(argv):
    uid, gid = nobody()
    return ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups", "--"] + argv


class Bystander:
    """A process that is nobody's service; it must live on untouched."""

    def __init__(self, label, argv, record):
        self.label, self.record = label, record
        uid, gid = nobody()
        if record:
            open(record, "w").close()
            os.chown(record, uid, gid)
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        self.pid = self.proc.pid
        self.start = None

    def settle(self):
        """Waits until the process runs its own program and, when it keeps a
        record, has recorded its start (its signal handlers are in place)."""
        for _ in range(150):
            p = read_proc(self.pid)
            if p and p.exe and not p.exe.endswith("setpriv") and self._recorded_start():
                self.start = p.start
                return
            time.sleep(0.02)

    def _recorded_start(self):
        if not self.record:
            return True
        with open(self.record) as f:
            return " start" in f.read()

    def harmed(self):
        if self.proc.poll() is not None:
            return f"bystander {self.label} (PID {self.pid}) ended, status {self.proc.returncode}"
        p = read_proc(self.pid)
        if p is None or p.start != self.start:
            return f"bystander {self.label} (PID {self.pid}) is gone"
        if self.record:
            signalled = signals_seen(self.record)
            if signalled:
                return f"bystander {self.label} (PID {self.pid}) was signalled: {signalled}"
        return None

    def end(self):
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except OSError:
            pass
        self.proc.wait()


class UnitBystander:
    """Under systemd: a unit of its own that runs a service's program (as root)."""

    def __init__(self, svc):
        self.label = f"unit zbystander running {svc.program}"
        self.record = f"{CHAOS}/zbystander-unit.record"
        open(self.record, "w").close()
        with open("/etc/systemd/system/zbystander.service", "w") as f:
            f.write(f"[Service]\nExecStart={svc.program} --name {svc.daemon}-other "
                    f"--record {self.record}\nKillMode=process\n")
        subprocess.run(["systemctl", "daemon-reload"], check=True)
        subprocess.run(["systemctl", "start", "zbystander.service"], check=True)
        self.pid = int(subprocess.run(["systemctl", "show", "-p", "MainPID", "--value",
                                       "zbystander.service"], capture_output=True,
                                      text=True).stdout.strip() or 0)
        p = read_proc(self.pid)
        self.start = p.start if p else None

    def settle(self):
        pass

    def harmed(self):
        p = read_proc(self.pid)
        if p is None or p.start != self.start or p.zombie:
            return f"bystander {self.label} (PID {self.pid}) is gone"
        signalled = signals_seen(self.record)
        if signalled:
            return f"bystander {self.label} (PID {self.pid}) was signalled: {signalled}"
        return None

    def end(self):
        subprocess.run(["systemctl", "stop", "zbystander.service"], check=False)


def start_bystanders(services, systemd, testd):
    """Other accounts' copies of each test daemon, other listeners on the
    ported services' ports (on other addresses), and under systemd another
    unit's copy of a service's program."""
    out = []
    for svc in services:
        if svc.real or svc.word != svc.daemon:
            continue
        record = f"{CHAOS}/bystander-{svc.daemon}.record"
        out.append(Bystander(f"nobody's {svc.daemon}",
                             as_nobody([svc.program, "--name", svc.daemon, "--record", record]),
                             record))
        if svc.port:
            record = f"{CHAOS}/bystander-{svc.daemon}-port.record"
            out.append(Bystander(f"nobody's listener on 127.0.0.2:{svc.port}", as_nobody(
                [svc.program, "--name", svc.daemon, "--listen-address", "127.0.0.2",
                 "--listen", str(svc.port), "--record", record]), record))
            record = f"{CHAOS}/bystander-{svc.daemon}-root.record"
            out.append(Bystander(f"root's zbystander on 127.0.0.3:{svc.port}",
                                 [testd, "--name", "zbystander", "--listen-address", "127.0.0.3",
                                  "--listen", str(svc.port), "--record", record], record))
    for b in out:
        b.settle()
    if systemd:
        out.append(UnitBystander(next(s for s in services if s.word == "zplain")))
    return out


class Fault:
    """One fault of a step: its kind, when it strikes, what it struck."""

    def __init__(self, kind, delay, rng_seed):
        self.kind, self.delay = kind, delay
        self.rng = random.Random(rng_seed)
        self.struck_at = None
        self.what = "not struck"
        self.undo = []
        self.foreign = []  # processes it made that must survive the run

    def strike_before(self, svc, sandbox):
        getattr(self, "_" + self.kind.replace("-", "_"))(svc, sandbox, None)

    def strike_during(self, svc, sandbox, tool_pid):
        getattr(self, "_" + self.kind.replace("-", "_"))(svc, sandbox, tool_pid)

    def harmed_foreign(self):
        return [f"the fault's foreign process {b.label} (PID {b.pid}): {b.harmed()}"
                for b in self.foreign if b.harmed()]

    def clean_up(self):
        for b in self.foreign:
            b.end()
        for action in reversed(self.undo):
            action()

    def _mark(self, what):
        self.struck_at = time.clock_gettime(time.CLOCK_BOOTTIME)
        self.what = what

    def _kill(self, pid, sig, what):
        try:
            os.kill(pid, sig)
            self._mark(what)
        except OSError:
            self.what = f"{what}: already gone"

    def _daemon_pid(self, svc):
        own = sorted(service_processes(svc, processes()))
        return self.rng.choice(own) if own else None

    def _kill_daemon(self, svc, sandbox, tool_pid):
        pid = self._daemon_pid(svc)
        if pid:
            self._kill(pid, signal.SIGKILL, f"SIGKILL to the daemon, PID {pid}")

    def _behind_back(self, svc, sandbox, tool_pid):
        if sandbox == "systemd" and not svc.launched:
            subprocess.run(["systemctl", "--no-block", "stop", f"{svc.unit}.service"], check=False)
            self._mark(f"systemctl stop {svc.unit} behind the tool's back")
            return
        pid = self._daemon_pid(svc)
        if pid:
            self._kill(pid, signal.SIGTERM, f"TERM to the daemon, PID {pid}, behind the tool's back")

    def _descendants(self, pid):
        kids, todo = [], [pid]
        while todo:
            p = todo.pop()
            try:
                for task in os.listdir(f"/proc/{p}/task"):
                    with open(f"/proc/{p}/task/{task}/children") as f:
                        for c in f.read().split():
                            kids.append(int(c))
                            todo.append(int(c))
            except OSError:
                pass
        return kids

    def _kill_child(self, svc, sandbox, tool_pid):
        kids = self._descendants(tool_pid) if tool_pid else []
        if kids:
            pid = self.rng.choice(kids)
            p = read_proc(pid)
            self._kill(pid, signal.SIGKILL,
                       f"SIGKILL to the tool's child PID {pid} ({' '.join(p.argv)[:80] if p else '?'})")

    def _kill_tool(self, svc, sandbox, tool_pid):
        self._kill(tool_pid, signal.SIGKILL, "SIGKILL to the tool")

    def _term_tool(self, svc, sandbox, tool_pid):
        self._kill(tool_pid, signal.SIGTERM, "TERM to the tool")

    def _int_tool(self, svc, sandbox, tool_pid):
        self._kill(tool_pid, signal.SIGINT, "INT to the tool")

    def _pidfile_removed(self, svc, sandbox, tool_pid):
        if svc.pidfile and os.path.lexists(svc.pidfile):
            os.unlink(svc.pidfile)
            self._mark(f"{svc.pidfile} removed")

    def _pidfile_replaced(self, svc, sandbox, tool_pid):
        if not svc.pidfile:
            return
        text = self.rng.choice(["another process", "1\n", "garbage\n", "99999\n", ""])
        if text == "another process":
            text = f"{self._foreign_process(sandbox)}\n"
        with open(svc.pidfile + ".chaos", "w") as f:
            f.write(text)
        os.rename(svc.pidfile + ".chaos", svc.pidfile)
        self._mark(f"{svc.pidfile} replaced by {text.strip()!r}")

    def _foreign_process(self, sandbox):
        """A live process that is no service's. Under SysV the campaign
        itself: a tool that believed the pid file would end the campaign.
        Under systemd nobody's process made for the fault, which is not
        judged: systemd itself takes a root-owned pid file's process as the
        unit's main process when the one it knew ends, and stops it with the
        unit (it did so to the campaign). Not root's: to an account that
        cannot read root's executables, a root-owned pid file naming an
        older root process is the service (its owner decides), and only
        root can have written that file."""
        if sandbox != "systemd":
            return os.getpid()
        proc = subprocess.Popen(as_nobody(["sleep", "600"]), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)

        def end():
            proc.kill()
            proc.wait()
        self.undo.append(end)
        return proc.pid

    def _pidfile_link(self, svc, sandbox, tool_pid):
        if not svc.pidfile or not os.path.exists(svc.pidfile):
            return
        target = f"{CHAOS}/linked.pid"
        with open(svc.pidfile) as src, open(target, "w") as dst:
            dst.write(src.read())
        os.unlink(svc.pidfile)
        os.symlink(target, svc.pidfile)
        self._mark(f"{svc.pidfile} made a link to {target}")

    def _port_taken(self, svc, sandbox, tool_pid):
        if not svc.port:
            return
        record = f"{CHAOS}/fault-port.record"
        b = Bystander(f"nobody's listener on 127.0.0.1:{svc.port}", as_nobody(
            [svc.program, "--name", "zintruder", "--listen", str(svc.port), "--record", record]),
            record)
        time.sleep(0.2)
        if b.proc.poll() is None:
            b.settle()
            self.foreign.append(b)
            self._mark(f"nobody took 127.0.0.1:{svc.port} (PID {b.pid})")
        else:
            self.what = "port-taken: the daemon holds the port"

    def _pid_taken(self, svc, sandbox, tool_pid):
        """The daemon dies; another account's process gets its pid."""
        pid = self._daemon_pid(svc)
        if not pid or not svc.pidfile:
            return
        os.kill(pid, signal.SIGKILL)
        for _ in range(100):
            p = read_proc(pid)
            if p is None:
                break
            time.sleep(0.02)
        if sandbox == "systemd":
            time.sleep(0.3)  # systemd notes its death first
        uid, gid = nobody()
        for _ in range(3):
            try:
                with open("/proc/sys/kernel/ns_last_pid", "w") as f:
                    f.write(str(pid - 1))
            except OSError:
                break
            child = subprocess.Popen(["sleep", "600"], preexec_fn=lambda: (os.setgid(gid), os.setuid(uid)),
                                     start_new_session=True)
            if child.pid == pid:
                b = Bystander.__new__(Bystander)
                b.label, b.record, b.proc, b.pid = f"nobody's sleep on the daemon's old PID {pid}", None, child, pid
                b.settle()
                self.foreign.append(b)
                self._mark(f"daemon PID {pid} killed and taken by nobody's sleep")
                return
            child.kill()
            child.wait()
        self._mark(f"daemon PID {pid} killed (its pid could not be taken)")

    def _logdir_full(self, svc, sandbox, tool_pid):
        os.makedirs(LOG_DIR, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,nr_inodes=8", "tmpfs", LOG_DIR], check=True)
        self.undo.append(lambda: subprocess.run(["umount", "-l", LOG_DIR], check=False))
        subprocess.run(["sh", "-c", f"cat /dev/zero > {LOG_DIR}/filler 2>/dev/null; "
                                    f"for i in 1 2 3 4 5 6 7 8; do : > {LOG_DIR}/f$i; done"],
                       stderr=subprocess.DEVNULL)
        self._mark(f"{LOG_DIR} full")

    def _logdir_readonly(self, svc, sandbox, tool_pid):
        os.makedirs(LOG_DIR, exist_ok=True)
        subprocess.run(["mount", "--bind", LOG_DIR, LOG_DIR], check=True)
        self.undo.append(lambda: subprocess.run(["umount", "-l", LOG_DIR], check=False))
        subprocess.run(["mount", "-o", "remount,bind,ro", LOG_DIR], check=True)
        self._mark(f"{LOG_DIR} read-only")
