"""The observer's own tests, inside a sandbox: stand-ins for the tool that each
break one promise in one way, run and judged exactly as the campaign runs
and judges the tool. Each must be caught; a stand-in that keeps its word must
not be.

    python3 observer_test.py --build DIR
"""

import argparse
import fcntl
import json
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import campaign  # noqa: E402
import faults  # noqa: E402
import judge  # noqa: E402
import look  # noqa: E402
import pool  # noqa: E402

BUILD = None
STANDIN = "/run/chaos/standin"


def result_line(action, status, running, pids):
    return json.dumps({"type": "result", "contents": {
        "service": "zobs", "action": action, "succeeded": status == 0, "status": status,
        "running": running, "pids": pids}})


class Harness(unittest.TestCase):
    """A test daemon 'zobs' as the pool describes its services, and a stand-in
    tool written as a shell script."""

    @classmethod
    def setUpClass(cls):
        os.makedirs(pool.CHAOS, exist_ok=True)
        cls.svc = pool.Service("zobs")
        if not os.path.exists(cls.svc.program):
            subprocess.run(["install", "-m", "755", os.path.join(BUILD, pool.TESTD_BUILT),
                            cls.svc.program], check=True)
        open(cls.svc.config_file(), "w").close()

    def tearDown(self):
        """Every daemon of a test gone before the next test looks."""
        for _ in range(100):
            own = look.service_processes(self.svc, look.processes())
            if not own:
                return
            for pid in own:
                os.kill(pid, 9)
            time.sleep(0.02)

    def start_daemon(self):
        # The daemon writes its pid file just after its launcher returns: a
        # file an earlier daemon left must not be read for it.
        if os.path.exists(self.svc.pidfile):
            os.unlink(self.svc.pidfile)
        subprocess.run(self.svc.daemon_argv(), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(self.svc.pidfile):
                break
            time.sleep(0.01)
        return int(open(self.svc.pidfile).read())

    def stand_in(self, action, script, json_out=True):
        with open(STANDIN, "w") as f:
            f.write("#!/bin/sh\n" + script)
        os.chmod(STANDIN, 0o755)
        run = judge.Run("zobs", action, [STANDIN], True, json_out)
        sampler = look.Sampler([self.svc])
        sampler.sample()
        proc, readers = campaign.start_run(run)
        while proc.poll() is None:
            sampler.sample()
            time.sleep(0.02)
        campaign.finish_run(run, proc, readers, time.monotonic() + 30)
        sampler.sample()
        return run, sampler


class ItsWord(Harness):
    def test_started_while_nothing_runs_is_caught(self):
        run, sampler = self.stand_in("start", f"echo '{result_line('start', 0, True, [4242])}'\n")
        problems = judge.judge_word(run, sampler)
        self.assertTrue(any("no process of it was alive" in p for p in problems), problems)
        self.assertTrue(any("not the service's" in p for p in problems), problems)

    def test_stopped_while_the_daemon_runs_is_caught(self):
        pid = self.start_daemon()
        time.sleep(0.5)
        run, sampler = self.stand_in("stop", "echo 'The service was stopped.'\n", json_out=False)
        problems = judge.judge_word(run, sampler)
        self.assertTrue(any(f"PID {pid}" in p for p in problems), problems)

    def test_down_from_a_look_just_before_the_daemon_came_is_not_caught(self):
        run, sampler = self.stand_in("status", "sleep 0.1\n" + " ".join(self.svc.daemon_argv()) +
                                     " >/dev/null 2>&1\nsleep 0.3\n"
                                     f"echo '{result_line('status', 255, False, [])}'\nexit 255\n")
        self.assertEqual(judge.judge_word(run, sampler), [])

    def test_down_from_a_look_long_before_the_word_is_caught(self):
        run, sampler = self.stand_in("status", " ".join(self.svc.daemon_argv()) +
                                     " >/dev/null 2>&1\nsleep 1\n"
                                     f"echo '{result_line('status', 255, False, [])}'\nexit 255\n")
        self.assertTrue(any("not running" in p for p in judge.judge_word(run, sampler)))

    def test_a_true_word_is_not_caught(self):
        pid = self.start_daemon()
        run, sampler = self.stand_in("status", f"echo '{result_line('status', 0, True, [pid])}'\n")
        self.assertEqual(judge.judge_word(run, sampler) + judge.judge_output(run), [])

    def test_a_daemon_that_dies_after_the_word_excuses_it(self):
        pid = self.start_daemon()
        run, sampler = self.stand_in(
            "start", f"echo '{result_line('start', 0, True, [pid])}'\nsleep 0.8; kill -9 {pid}\n")
        self.assertEqual(judge.judge_word(run, sampler), [])

    def test_a_daemon_gone_before_the_word_does_not(self):
        pid = self.start_daemon()
        run, sampler = self.stand_in(
            "start", f"kill -9 {pid}; sleep 0.8\necho '{result_line('start', 0, True, [pid])}'\n")
        self.assertTrue(judge.judge_word(run, sampler))

    def test_a_launcher_named_while_the_daemon_starts_is_the_services(self):
        # Seed 20261240, step 2485: a check named the process a forking unit
        # started, still waiting for its daemon: the service's, though too
        # short-lived for the samples.
        line = result_line("check", 0, True, [12345]).replace("12345", "'\"$launcher\"'")
        run, sampler = self.stand_in(
            "check", " ".join(self.svc.daemon_argv()) +
            f" >/dev/null 2>&1 & launcher=$!\necho '{line}'\nwait\n")
        self.assertEqual(judge.judge_word(run, sampler), [])

    def test_a_line_that_is_not_json_is_caught(self):
        run, _ = self.stand_in("status", "echo 'No process was found.'\n"
                               f"echo '{result_line('status', 255, False, [])}'\nexit 255\n")
        self.assertTrue(any("not a JSON object" in p for p in judge.judge_output(run)))

    def test_a_result_that_disagrees_with_the_status_is_caught(self):
        run, _ = self.stand_in("status", f"echo '{result_line('status', 0, True, [])}'\nexit 255\n")
        self.assertTrue(any("disagrees" in p for p in judge.judge_output(run)))

    def test_a_crash_is_caught(self):
        run, _ = self.stand_in("status", "kill -SEGV $$\n")
        self.assertTrue(any("exit status 139" in p for p in judge.judge_output(run)))


class Invariants(Harness):
    def test_a_killed_bystander_is_caught(self):
        record = "/run/chaos/obs-bystander.record"
        b = faults.Bystander("nobody's zobs", faults.as_nobody(
            [self.svc.program, "--name", "zobs", "--record", record]), record)
        b.settle()
        try:
            self.assertEqual(judge.judge_decoys([b]), [])
            self.stand_in("stop", f"kill -9 {b.pid}\n")
            time.sleep(0.1)
            self.assertTrue(judge.judge_decoys([b]))
        finally:
            b.end()

    def test_a_signalled_bystander_is_caught(self):
        record = "/run/chaos/obs-bystander.record"
        b = faults.Bystander("nobody's zobs", faults.as_nobody(
            [self.svc.program, "--name", "zobs", "--ignore-term", "--record", record]), record)
        b.settle()
        try:
            self.stand_in("stop", f"kill -TERM {b.pid}; sleep 0.2\n")
            self.assertTrue(any("signalled" in p for p in judge.judge_decoys([b])))
        finally:
            b.end()

    def test_a_lock_left_held_is_caught(self):
        os.makedirs(look.LOCK_DIR, exist_ok=True)
        lock = f"{look.LOCK_DIR}/zobs"
        self.stand_in("restart", f"(flock -x 9; sleep 5) 9>{lock} >/dev/null 2>&1 &\nsleep 0.3\n")
        try:
            self.assertTrue(judge.judge_locks(look.locks_held()))
        finally:
            subprocess.run(["pkill", "-f", "sleep 5"])
        time.sleep(0.2)
        with open(lock) as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        self.assertEqual(judge.judge_locks(look.locks_held()), [])

    def test_two_instances_are_caught(self):
        self.start_daemon()
        subprocess.run([self.svc.program, "--name", "zobs", "--daemonize"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(judge.judge_instances("zobs", look.instances(self.svc, look.processes())))

    def test_a_write_outside_the_tool_files_is_caught(self):
        marker = "/run/chaos/obs.marker"
        open(marker, "w").close()
        os.utime(marker, (time.time() - 0.01,) * 2)
        self.stand_in("restart", "echo x > /etc/zobs-was-here; echo y > /var/log/zidavoveva-ok\n")
        try:
            written = look.written_since(marker, ["/etc", "/var"], campaign.ALLOWED_WRITES)
            self.assertIn("/etc/zobs-was-here", written)
            self.assertNotIn("/var/log/zidavoveva-ok", written)
        finally:
            os.unlink("/etc/zobs-was-here")

    def test_a_stop_that_leaves_no_suspension_is_caught(self):
        run = judge.Run("zobs", "stop", [], True, False)
        run.status = 0
        self.assertTrue(judge.judge_suspension(run, True, {}, {}, time.time()))
        later = {"zobs": f"{time.time() + 600:.0f}\n"}
        self.assertEqual(judge.judge_suspension(run, True, {}, later, time.time()), [])

    def test_a_status_that_changes_the_suspension_is_caught(self):
        run = judge.Run("zobs", "status", [], True, False)
        run.status = 0
        self.assertTrue(judge.judge_suspension(run, True, {"zobs": "1"}, {}, time.time()))

    def test_an_action_by_another_account_must_be_refused(self):
        run = judge.Run("zobs", "stop", [], False, False)
        run.status = 0
        self.assertTrue(judge.judge_refused(run, {5}, set()))


def main():
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args, rest = parser.parse_known_args()
    BUILD = args.build
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
