"""A chaos campaign inside one sandbox: random runs of the tool with faults
injected at random moments, each judged by the observer.

    python3 campaign.py --build DIR --runs N --seed S [--first K]

Every step draws from its own generator, seeded by the campaign's seed and
the step's number, so the same seed gives the same steps. The campaign's
services keep their state from step to step (what one step leaves running,
the next one meets), so a failure at step K is replayed by running steps 1
to K again with the same seed, or step K alone (--first K) when the state it
needs is the one every service starts in. The last line says how many runs
were made, which faults struck and how many contradictions were found; the exit status
is 1 when there was any.
"""

import argparse
import collections
import json
import os
import random
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import faults  # noqa: E402
import judge  # noqa: E402
import look  # noqa: E402
import pool  # noqa: E402

TOOL = "/usr/local/sbin/zidavoveva_service"
ACTION_WEIGHTS = {"restart": 24, "start": 14, "stop": 20, "status": 16, "check": 8,
                  "reload": 8, "list": 4}
ACTION_OPTION = {"restart": ["--restart"], "start": ["--start"], "stop": ["--stop"],
                 "reload": ["--reload"], "status": ["--status"], "check": ["--check"]}
RUN_BOUND = 150  # seconds: the pool's own time-outs add up to far less
SAMPLE_EVERY = 0.04
# How long the caller's pipes may stay open after the run ended (something it
# left holds them: a caller reading its output would hang).
READERS_GRACE = 5
# The tool's files and what the pool's daemons write; anything else written
# during a run is a contradiction.
ALLOWED_WRITES = ("/var/log/", "/var/tavrel/", "/var/cache/tavrel/", "/var/zidavoveva/",
                  "/etc/zidavoveva/", "/etc/tavrel.conf", "/var/lib/systemd/",
                  "/etc/systemd/system/", "/var/spool/", "/var/lib/logrotate/",
                  "/var/lib/dpkg/", "/var/lib/apt/", "/var/cache/apt/", "/var/cache/ldconfig/",
                  "/var/tmp/tavrel-")  # the last: other sandboxes of the host, seen through
# the overlay
WATCHED_ROOTS = ("/etc", "/var", "/usr/local", "/opt", "/srv", "/home")


class Step:
    def __init__(self, number, seed, services, sandbox):
        self.number = number
        rng = random.Random(f"{seed}:{number}")
        self.rng = rng
        usable = [s for s in services if not (s.systemd_only and sandbox != "systemd")]
        self.svc = rng.choice(usable)
        self.action = rng.choices(list(ACTION_WEIGHTS), weights=ACTION_WEIGHTS.values())[0]
        self.json = rng.random() < 0.5
        self.as_root = rng.random() < 0.85
        self.second = None
        if rng.random() < 0.08 and self.action != "list":
            other = self.svc
            if self.svc.pair and rng.random() < 0.5:
                other = next(s for s in services if s.word == self.svc.pair)
            self.second = (other, rng.choice(["restart", "stop", "start", "status"]),
                           rng.random() < 0.5, rng.uniform(0, 0.5))
        self.fault = None
        if rng.random() < 0.55:
            kinds = list(faults.DURING) + list(faults.BEFORE)
            kind = rng.choice(kinds)
            delay = rng.uniform(0, rng.choice([0.1, 0.5, 2.0]))
            if kind.startswith("pidfile") and rng.random() < 0.5:
                delay = -1  # before the run
            self.fault = faults.Fault(kind, delay, f"{seed}:{number}:fault")
        # The daemons' own moods for this step.
        self.exit_after = rng.choice([None, None, None, 0.3, 0.8, 1.6, 4.0])
        self.config_broken = rng.random() < 0.25
        self.hang_mode = rng.choice(["ok"] * 6 + ["hang", "fail"])

    def describe(self):
        text = f"{self.svc.word} {self.action}{' --json' if self.json else ''}"
        if not self.as_root:
            text += " as nobody"
        if self.second:
            text += f" + {self.second[0].word} {self.second[1]}"
        if self.fault:
            when = "before" if self.fault.delay < 0 else f"at {self.fault.delay:.2f}s"
            text += f" / fault {self.fault.kind} {when}"
        return text


def tool_argv(svc, action, json_out, rng):
    if action == "list":
        argv = [TOOL, "--list"]
    else:
        argv = [TOOL, svc.word] + ACTION_OPTION[action]
        if action == "restart" and rng.random() < 0.3:
            argv = [TOOL, svc.word]
    if json_out:
        argv.append("--json")
    return argv


def start_run(run):
    argv = run.argv if run.as_root else faults.as_nobody(run.argv)
    env = dict(os.environ, PATH="/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin")
    run.began = look.now()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)

    def read_out():
        for raw in proc.stdout:
            run.lines.append((look.now(), raw.decode("utf-8", "replace").rstrip("\n")))

    def read_err():
        run.stderr = proc.stderr.read().decode("utf-8", "replace")

    # Daemon threads: a pipe that something keeps open must not hold the
    # campaign; finish_run says so instead.
    readers = [threading.Thread(target=read_out, daemon=True),
               threading.Thread(target=read_err, daemon=True)]
    for r in readers:
        r.start()
    return proc, readers


def finish_run(run, proc, readers, deadline):
    try:
        proc.wait(timeout=max(0.1, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        run.status = None
    else:
        rc = proc.returncode
        run.status = rc if rc >= 0 else 128 - rc
        if rc < 0:
            run.killed_by = -rc
    for r in readers:
        r.join(timeout=READERS_GRACE)
    run.held_open = any(r.is_alive() for r in readers)
    if not run.held_open:
        proc.stdout.close()
        proc.stderr.close()
    run.ended = look.now()


def set_moods(step):
    svc = step.svc
    for s in (svc,):
        if s.mortal:
            text = f"exit-after={step.exit_after}\n" if step.exit_after else ""
            with open(s.config_file(), "w") as f:
                f.write(text)
        if s.config_test:
            broken = f"{pool.CHAOS}/{s.daemon}.broken"
            if step.config_broken:
                open(broken, "w").close()
            elif os.path.exists(broken):
                os.unlink(broken)
        if s.hang_mode:
            with open(f"{pool.CHAOS}/{s.daemon}.mode", "w") as f:
                f.write(step.hang_mode + "\n")


class Campaign:
    def __init__(self, args):
        self.args = args
        self.sandbox = "systemd" if os.path.isdir("/run/systemd/system") else "sysv"
        self.services = pool.make_pool(pool.free_ports(3), self.sandbox == "systemd")
        self.by_word = {s.word: s for s in self.services}
        self.fault_counts = collections.Counter()
        self.contradictions = []
        self.runs = 0

    def setup(self):
        pool.install(self.args.build, self.services, self.sandbox == "systemd")
        testd = os.path.join(self.args.build, pool.TESTD_BUILT)
        bystander = f"{pool.SBIN}/zbystander"
        subprocess.run(["install", "-m", "755", testd, bystander], check=True)
        self.bystanders = faults.start_bystanders(self.services, self.sandbox == "systemd",
                                                  bystander)
        self.marker = f"{pool.CHAOS}/step.marker"

    def replay_line(self, number):
        return f"CHAOS_SANDBOX={self.sandbox} scripts/chaos {number} {self.args.seed}"

    def report(self, step, runs, problems):
        for p in problems:
            line = (f"CONTRADICTION [{self.sandbox} seed {self.args.seed} step {step.number}] "
                    f"{step.describe()}: {p}")
            print(line, flush=True)
            self.contradictions.append(line)
        if problems:
            print(f"  fault: {step.fault.what if step.fault else 'none'}", flush=True)
            print(f"  replay: {self.replay_line(step.number)}", flush=True)
            for run in runs:
                print(f"  what {' '.join(run.argv[1:])} printed (status {run.status}):", flush=True)
                for at, text in run.lines[-25:]:
                    print(f"    +{at - run.began:.2f}s {text[:300]}", flush=True)
                for text in run.stderr.strip().splitlines()[-8:]:
                    print(f"    stderr: {text[:300]}", flush=True)

    def run_step(self, step):
        set_moods(step)
        svc = step.svc
        watched = [svc] + ([step.second[0]] if step.second else [])
        before = {s.word: set(look.service_processes(s, look.processes())) for s in watched}
        susp_before = look.suspensions()
        open(self.marker, "w").close()
        os.utime(self.marker, (time.time() - 0.01,) * 2)
        sampler = look.Sampler(self.services)
        sampler.sample()
        runs = self.make_runs(step, sampler)
        self.runs += len(runs)
        fault = step.fault
        if fault:
            self.fault_counts[fault.kind if fault.struck_at else fault.kind + " (missed)"] += 1
        judging = time.monotonic()
        problems = self.judge_step(step, runs, sampler, before, susp_before)
        step.judged_in = time.monotonic() - judging
        if fault:
            problems += fault.harmed_foreign()
            fault.clean_up()
        self.report(step, runs, problems)
        if self.args.verbose:
            self.tell(step, runs)
        if problems:
            self.reset(watched)

    def make_runs(self, step, sampler):
        """The step's runs, its fault struck at its moment, sampled all along."""
        svc, fault = step.svc, step.fault
        if fault and (fault.kind in faults.BEFORE or fault.delay < 0):
            fault.strike_before(svc, self.sandbox)
        runs = [judge.Run(svc.word, step.action, tool_argv(svc, step.action, step.json, step.rng),
                          step.as_root, step.json)]
        procs = [start_run(runs[0])]
        if step.second:
            other, action, json_out, delay = step.second
            time.sleep(delay)
            runs.append(judge.Run(other.word, action, tool_argv(other, action, json_out, step.rng),
                                  True, json_out))
            procs.append(start_run(runs[1]))
        deadline = time.monotonic() + RUN_BOUND
        struck = fault is None or fault.kind in faults.BEFORE or fault.delay < 0
        began = time.monotonic()
        while any(p.poll() is None for p, _ in procs) and time.monotonic() < deadline:
            if not struck and time.monotonic() - began >= fault.delay:
                fault.strike_during(svc, self.sandbox, procs[0][0].pid)
                struck = True
            sampler.sample()
            time.sleep(SAMPLE_EVERY)
        for run, (proc, readers) in zip(runs, procs):
            finish_run(run, proc, readers, deadline)
        sampler.sample()
        return runs

    @staticmethod
    def tell(step, runs):
        print(f"step {step.number}: {step.describe()}", flush=True)
        for run in runs:
            last_err = run.stderr.strip().splitlines()[-1][:150] if run.stderr.strip() else ""
            print(f"    {run.word} {run.action}: status {run.status}: {run.closing()[:150]}"
                  f"{' | ' + last_err if last_err else ''}", flush=True)

    def judge_step(self, step, runs, sampler, before, susp_before):
        problems = []
        lone = len(runs) == 1
        procs_now = look.processes()
        # Runs the tool left behind, and held locks, get a moment: a killed
        # run's children finish their own bounded work first.
        settle_until = time.monotonic() + 12
        while (look.tool_processes() or look.locks_held()) and time.monotonic() < settle_until:
            time.sleep(0.2)
        problems += judge.judge_leftover_runs(look.tool_processes())
        problems += judge.judge_locks(look.locks_held())
        # Of two runs at once, only the one that ended last still speaks for
        # the service when the step is over.
        last = max(runs, key=lambda r: r.ended)
        for run in runs:
            problems += judge.judge_output(run)
            if run.action == "list":
                problems += self.judge_list(run, sampler)
            elif run is last:
                problems += judge.judge_word(run, sampler)
        main = runs[0]
        after = set(look.service_processes(step.svc, look.processes()))
        if lone and step.fault is None:
            problems += judge.judge_refused(main, before[step.svc.word], after)
            was_running = bool(before[step.svc.word])
            problems += judge.judge_suspension(main, was_running, susp_before, look.suspensions(),
                                               time.time())
        for s in {r.word for r in runs if r.action != "list"}:
            svc = self.by_word[s]
            pids = look.instances(svc, procs_now)
            if len(pids) > 1:
                time.sleep(1.5)
                pids = look.instances(svc, look.processes())
            problems += judge.judge_instances(s, pids)
        problems += judge.judge_decoys(self.bystanders)
        if step.fault is None or step.fault.kind not in ("logdir-full", "logdir-readonly"):
            problems += judge.judge_writes(look.written_since(self.marker, WATCHED_ROOTS,
                                                              ALLOWED_WRITES))
        return problems

    def judge_list(self, run, sampler):
        if not run.json or run.status != 0:
            return []
        bad = []
        for at, text in run.lines:
            try:
                rec = json.loads(text)
            except ValueError:
                continue
            if rec.get("type") != "service":
                continue
            c = rec.get("contents", {})
            svc = self.by_word.get(c.get("service"))
            if svc is None or svc.systemd_only and self.sandbox != "systemd":
                continue
            if c.get("running") is True and not sampler.running_at(svc.word, at, before=1.0):
                bad.append(f"--list says {svc.word} runs; nothing of it was alive")
            if c.get("running") is False:
                pid = sampler.running_across(svc.word, run.began)
                if pid and sampler.running_across(svc.word, at):
                    bad.append(f"--list says {svc.word} is not running; PID {pid} was")
        return bad

    def reset(self, services):
        """After a contradiction: every process of the services ends, so the
        next steps start from a known state."""
        for svc in services:
            if self.sandbox == "systemd" and not svc.launched:
                subprocess.run(["systemctl", "stop", f"{svc.unit}.service"], check=False,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for pid in look.service_processes(svc, look.processes()):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass

    def run(self):
        print(f"chaos: {self.sandbox} sandbox, seed {self.args.seed}, {self.args.runs} steps", flush=True)
        # A signal meant for a run or a daemon that reaches the campaign
        # instead is a finding to report, not the end of the campaign.
        current = {"step": 0}

        def note_signal(signo, _frame):
            print(f"chaos: the campaign itself got signal {signo} during step {current['step']}",
                  flush=True)
            self.contradictions.append(f"signal {signo} to the campaign at step {current['step']}")
        for signo in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(signo, note_signal)
        self.setup()
        started = time.monotonic()
        for number in range(self.args.first, self.args.runs + 1):
            current["step"] = number
            step = Step(number, self.args.seed, self.services, self.sandbox)
            began = time.monotonic()
            self.run_step(step)
            if self.args.verbose:
                print(f"    ({time.monotonic() - began:.1f} s, judged in {step.judged_in:.2f} s)",
                      flush=True)
            if number % 100 == 0:
                print(f"chaos: {self.sandbox}: {number} steps, {self.runs} runs, "
                      f"{len(self.contradictions)} contradictions, "
                      f"{time.monotonic() - started:.0f} s", flush=True)
        for b in self.bystanders:
            b.end()
        faults_text = ", ".join(f"{k} {v}" for k, v in sorted(self.fault_counts.items()))
        steps = self.args.runs - self.args.first + 1
        print(f"chaos: {self.sandbox}: seed {self.args.seed}: {self.runs} runs in {steps} steps, "
              f"{time.monotonic() - started:.0f} s; faults: {faults_text}; "
              f"contradictions: {len(self.contradictions)}", flush=True)
        return 1 if self.contradictions else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--first", type=int, default=1)
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    return Campaign(args).run()


if __name__ == "__main__":
    sys.exit(main())
