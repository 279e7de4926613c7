"""The observer's verdict: each run's word (exit status, result record, closing
line) against what the observer itself saw, and the invariants that hold
whatever happened. A verdict is a list of contradictions, each one line.

A run's word is judged at the moment it was said (when its last line
arrived): a daemon that a fault or its own timer ends after that moment does
not make the word false, one that was already gone does.
"""

import json

from look import suspended_until

ACTIONS = ("start", "stop", "restart", "reload")
SIGNAL_EXITS = (130, 143)
SUSPEND_MAX = 3600 + 60


class Run:
    """One run of the tool as the campaign made it and saw it end."""

    def __init__(self, word, action, argv, as_root=True, json_out=False):
        self.word, self.action, self.argv = word, action, argv
        self.as_root, self.json = as_root, json_out
        self.began = self.ended = None
        self.status = None  # exit status; None when the run outlived its bound
        self.killed_by = None  # a signal the campaign sent it, if any
        self.lines = []  # (arrival time, text) of standard output
        self.stderr = ""
        self.held_open = False  # its output pipes outlived it

    def said_at(self):
        return self.lines[-1][0] if self.lines else self.ended

    def result(self):
        if not self.json or not self.lines:
            return None
        try:
            rec = json.loads(self.lines[-1][1])
        except ValueError:
            return None
        return rec.get("contents") if rec.get("type") == "result" else None

    def closing(self):
        text = [t for _, t in self.lines if t.strip()]
        return text[-1] if text else ""


def judge_output(run):
    bad = []
    if run.status is None:
        return [f"{run.word} {run.action}: the run outlived its bound and was killed"]
    if run.held_open:
        bad.append(f"{run.word} {run.action}: something the run left kept its standard output "
                   f"open after it ended: a caller reading it would hang")
    if run.killed_by == 9:
        return bad
    allowed = (0, 255) + SIGNAL_EXITS
    if run.status not in allowed:
        bad.append(f"{run.word} {run.action}: exit status {run.status} "
                   f"(stderr: {run.stderr.strip()[-300:]!r})")
    if run.json:
        for _, text in run.lines:
            try:
                if not isinstance(json.loads(text), dict):
                    raise ValueError
            except ValueError:
                bad.append(f"{run.word} {run.action}: --json line is not a JSON object: {text[:200]!r}")
                break
        res = run.result()
        if run.status in (0, 255):
            if res is None:
                bad.append(f"{run.word} {run.action}: status {run.status} without a result record last")
            elif res.get("succeeded") != (run.status == 0) or res.get("status") != run.status:
                bad.append(f"{run.word} {run.action}: result record {res} disagrees with status {run.status}")
        elif run.status in SIGNAL_EXITS and res is not None:
            bad.append(f"{run.word} {run.action}: ended by a signal ({run.status}) but wrote a result record")
    return bad


def claims(run):
    """What the run said about its service: 'running', 'stopped' or None."""
    if run.status not in (0, 255) or run.killed_by:
        return None
    if not run.as_root and run.action in ACTIONS:
        return None
    a = run.action
    if run.status == 0:
        if a in ("start", "restart", "status", "check"):
            return "running"
        if a == "stop":
            return "stopped"
        return None
    if a == "status":
        return "stopped"
    return None


def judge_word(run, sampler):
    """The run's claims against the samples taken around it."""
    bad = []
    at = run.said_at()
    claim = claims(run)
    if claim == "running" and not sampler.running_at(run.word, at):
        bad.append(f"{run.word} {run.action}: said running (status {run.status}, "
                   f"{run.closing()[:160]!r}) but no process of it was alive then")
    if claim == "stopped":
        pid = sampler.running_across(run.word, at, run_began=run.began)
        if pid:
            bad.append(f"{run.word} {run.action}: said not running (status {run.status}, "
                       f"{run.closing()[:160]!r}) but PID {pid} was alive then and after")
    res = run.result()
    if res is not None and not run.killed_by:
        if res.get("running") and not sampler.running_at(run.word, at):
            bad.append(f"{run.word} {run.action}: result says running, nothing of it was alive")
        if res.get("running") is False:
            pid = sampler.running_across(run.word, at, run_began=run.began)
            if pid:
                bad.append(f"{run.word} {run.action}: result says not running, PID {pid} was")
        seen = sampler.seen(run.word)
        stray = [p for p in res.get("pids", []) if p not in seen]
        if stray:
            bad.append(f"{run.word} {run.action}: result names PIDs {stray} that are not the service's")
    return bad


def judge_refused(run, before_pids, after_pids):
    if run.as_root or run.action not in ACTIONS or run.killed_by:
        return []
    bad = []
    if run.status != 255:
        bad.append(f"{run.word} {run.action} as another account: status {run.status}, not refused")
    if before_pids != after_pids:
        bad.append(f"{run.word} {run.action} as another account changed its processes "
                   f"({sorted(before_pids)} -> {sorted(after_pids)})")
    return bad


def judge_suspension(run, was_running, before, after, wall_now):
    """The monitor suspension a lone, unharmed run leaves behind."""
    word = run.word
    if run.killed_by or run.status is None:
        return []
    if not (run.as_root and run.action in ACTIONS):
        if before.get(word) != after.get(word):
            return [f"{word} {run.action}: changed the monitor suspension "
                    f"({before.get(word)!r} -> {after.get(word)!r})"]
        return []
    if run.status != 0:
        return []
    if run.action == "stop" and was_running:
        until = suspended_until(after.get(word))
        if until is None or not wall_now < until <= wall_now + SUSPEND_MAX:
            return [f"{word} stop: no monitor suspension into the future after the stop "
                    f"({after.get(word)!r})"]
    if run.action in ("start", "restart") and was_running and word in after \
            and after.get(word) != before.get(word):
        return [f"{word} {run.action}: left the suspension its stop wrote ({after.get(word)!r})"]
    if run.action in ("start", "restart") and not was_running and before.get(word) != after.get(word) \
            and word in after:
        return [f"{word} {run.action}: a start wrote a suspension ({after.get(word)!r})"]
    return []


def judge_instances(word, pids):
    if len(pids) > 1:
        return [f"{word}: {len(pids)} instances run at once: {pids}"]
    return []


def judge_decoys(decoys):
    """Every bystander process alive as it was, and never signalled."""
    bad = []
    for d in decoys:
        problem = d.harmed()
        if problem:
            bad.append(problem)
    return bad


def judge_locks(held):
    return [f"lock {name} still held (open in PIDs {pids}) after every run ended"
            for name, pids in held]


def judge_leftover_runs(pids):
    return [f"a run of the tool still lives after the step: PIDs {pids}"] if pids else []


def judge_writes(paths):
    return [f"written outside the tool's files: {p}" for p in paths[:10]]
