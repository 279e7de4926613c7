"""The observer's own look at the system: /proc, /proc/locks, systemctl and the
files the tool writes. Nothing here comes from the tool; the facts of each
service come from the pool's table.

All times are CLOCK_BOOTTIME seconds, the clock process start times in
/proc/PID/stat are counted on, so a process's start can be compared with the
moment a run said something.
"""

import fcntl
import os
import subprocess
import time

TICKS = os.sysconf("SC_CLK_TCK")
LOCK_DIR = "/run/zidavoveva/lock"
SUSPEND_DIR = "/var/tavrel/svcwatch/suspended"


def now():
    return time.clock_gettime(time.CLOCK_BOOTTIME)


class Proc:
    __slots__ = ("pid", "ppid", "uid", "exe", "argv", "start", "zombie")

    def key(self):
        return (self.pid, self.start)


def read_proc(pid):
    """One process as /proc shows it, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
        fields = stat[stat.rindex(")") + 2:].split()
        p = Proc()
        p.pid = pid
        p.zombie = fields[0] in ("Z", "X")
        p.ppid = int(fields[1])
        p.start = int(fields[19]) / TICKS
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("Uid:"):
                    p.uid = int(line.split()[1])
                    break
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            p.argv = [a.decode("utf-8", "replace") for a in f.read().split(b"\0")[:-1]]
        try:
            p.exe = os.readlink(f"/proc/{pid}/exe")
        except OSError:
            p.exe = ""
        if p.exe.endswith(" (deleted)"):
            p.exe = p.exe[: -len(" (deleted)")]
        return p
    except (OSError, ValueError, IndexError):
        return None


def processes():
    procs = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            p = read_proc(int(name))
            if p is not None:
                procs[p.pid] = p
    return procs


def record_events(path):
    """The test daemon's record: (wall time, pid, event) per line; [] unread."""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError:
        return []
    events = []
    for line in lines:
        parts = line.split()
        try:
            events.append((float(parts[0]), int(parts[1]), parts[2]))
        except (ValueError, IndexError):
            continue
    return events


def service_processes(svc, procs):
    """The live processes of a service, as the pool's facts identify them."""
    return {pid: p for pid, p in procs.items()
            if not p.zombie and svc.identifies(p.argv, p.uid, p.exe)}


def instances(svc, procs):
    """Its top-level processes: those whose parent is not one of its own
    (a cron job's CRON child, an sshd session, a launcher's daemon child)."""
    own = service_processes(svc, procs)
    return sorted(pid for pid, p in own.items() if p.ppid not in own)


# How long a run's word may follow the look it was given from.
LOOK_LATENCY = 0.5


class Sampler:
    """Samples which processes of every service live, while runs go on."""

    def __init__(self, services):
        self.programs = {s.program for s in services}
        self.services = services
        self.by_word = {s.word: s for s in services}
        self.wall_minus_boot = time.time() - now()
        self.samples = []  # (time, {word: {(pid, start)}})
        self.known = {}  # (pid, start) -> Proc

    def sample(self):
        t = now()
        alive = {s.word: set() for s in self.services}
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                exe = os.readlink(f"/proc/{name}/exe")
            except OSError:
                continue
            if exe.endswith(" (deleted)"):
                exe = exe[: -len(" (deleted)")]
            if exe not in self.programs:
                continue
            p = read_proc(int(name))
            if p is None or p.zombie:
                continue
            self.known[p.key()] = p
            for s in self.services:
                if s.identifies(p.argv, p.uid, p.exe):
                    alive[s.word].add(p.key())
        self.samples.append((t, alive))

    def running_at(self, word, t, before=0.5, after=0.15):
        """Some process of the service was alive close to t: seen by a
        sample, or, for a daemon too short-lived for the samples, by the
        record of starts and ends the test daemon keeps."""
        last = None
        for st, alive in self.samples:
            if st <= t:
                last = alive[word]
            if t - before <= st <= t + after and alive[word]:
                return True
        return bool(last) or self._recorded_alive(word, t - before, t + after)

    def lives(self, word):
        """pid -> [start, end or None] from the daemon's record, in boot time."""
        svc = self.by_word[word]
        out = {}
        if svc.real:
            return out
        for wall, pid, event in record_events(svc.record_file()):
            when = wall - self.wall_minus_boot
            if event in ("start", "restarted"):
                out.setdefault(pid, [when, None])
            elif event in ("stop", "crash") and pid in out:
                out[pid][1] = when
        return out

    def _recorded_alive(self, word, start, end):
        for pid, (born, died) in self.lives(word).items():
            if born > end or (died is not None and died < start):
                continue
            # No recorded end (SIGKILL): a sample that missed it after its
            # birth, before the window or at the step's start, says it was
            # gone by then.
            first = self.samples[0][0] if self.samples else None
            if died is None and any(born + 0.02 < st and (st < start or st == first) and
                                    pid not in {p for p, _ in alive[word]}
                                    for st, alive in self.samples):
                continue
            return True
        return False

    def running_across(self, word, t, margin=0.25, run_began=None):
        """A process of the service that started well before t was seen alive
        at or after t: it was alive at t. One born after run_began may have
        come just after the run's look, which its word follows by up to
        LOOK_LATENCY (the checks that make a "down" precise come between)."""
        for st, alive in self.samples:
            if st < t:
                continue
            for pid, start in alive[word]:
                allowed = margin if run_began is None or start < run_began else LOOK_LATENCY
                if start < t - allowed:
                    return pid
        return None

    def seen(self, word):
        """Every pid known to have been the service's: sampled or recorded,
        the processes a daemon forks through on its way to the background
        too (while its unit starts, they are the service as much as it is,
        and too short-lived for the samples)."""
        launched = set()
        svc = self.by_word[word]
        if not svc.real:
            launched = {pid for _, pid, event in record_events(svc.record_file()) if event == "launch"}
        return ({pid for _, alive in self.samples for pid, _ in alive[word]} |
                set(self.lives(word)) | launched)


def locks_held():
    """The tool's lock files that some process holds, with the processes that
    have them open. Tried with a lock of our own that is let go at once:
    /proc/locks inside a pid namespace leaves out a lock whose taker has
    ended, though a child that inherited it may hold it still."""
    try:
        names = os.listdir(LOCK_DIR)
    except OSError:
        return []
    held = []
    for name in names:
        path = os.path.join(LOCK_DIR, name)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            fcntl.flock(fd, fcntl.LOCK_UN)
        except OSError:
            held.append((name, _openers(path)))
        finally:
            os.close(fd)
    return held


def _openers(path):
    pids = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                if os.readlink(f"/proc/{pid}/fd/{fd}") == path:
                    pids.append(int(pid))
                    break
        except OSError:
            continue
    return pids


def suspensions():
    out = {}
    try:
        names = os.listdir(SUSPEND_DIR)
    except OSError:
        return out
    for name in names:
        try:
            with open(os.path.join(SUSPEND_DIR, name)) as f:
                out[name] = f.read()
        except OSError:
            out[name] = None
    return out


def suspended_until(text):
    """The wall-clock time a suspension file holds, or None."""
    if not text:
        return None
    try:
        return float(text.split()[0])
    except (ValueError, IndexError):
        return None


def unit_state(unit):
    """ActiveState, SubState and MainPID of a systemd unit, as systemctl says."""
    out = subprocess.run(["systemctl", "show", "-p", "ActiveState,SubState,MainPID", unit],
                         capture_output=True, text=True, timeout=30).stdout
    props = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return props


def tool_processes(program="/usr/local/sbin/zidavoveva_base"):
    return [pid for pid, p in processes().items() if p.exe == program and not p.zombie]


def written_since(marker, roots, allowed):
    """Files under roots changed after marker, other than the allowed prefixes."""
    cmd = ["find"] + [r for r in roots if os.path.exists(r)] + [
        "-xdev", "-newer", marker, "-not", "-type", "d", "-print"]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=120).stdout
    return [p for p in out.splitlines() if not any(p == a or p.startswith(a) for a in allowed)]
