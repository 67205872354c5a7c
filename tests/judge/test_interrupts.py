"""An interrupted judge ends its run (the whole process group, even parts
that ignore the signal) and itself at once, with the status shells expect,
and leaves no scratch files."""
import os
import signal
import subprocess
import time
import unittest

from support import FAKE_OSTREVIN, JUDGE, TempDirTest


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as file:
            return file.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def read(path):
    with open(path) as file:
        return file.read()


def wait_for(condition, limit):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


class Interrupts(TempDirTest):
    def interrupt(self, signum, run="ignores_term"):
        pid_file = os.path.join(self.tmp, "pid")
        scratch = os.path.join(self.tmp, "scratch")
        os.mkdir(scratch)
        env = dict(os.environ, FAKE_RUN=run, FAKE_PIDFILE=pid_file, TMPDIR=scratch)
        judge = subprocess.Popen([JUDGE, "--only", "transcript", "command", FAKE_OSTREVIN],
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True)
        try:
            self.assertTrue(wait_for(lambda: os.path.exists(pid_file)
                                     and read(pid_file).endswith("\n"), 20))
            run_pid = int(read(pid_file))  # the process of the run that ignores signals
            start = time.monotonic()
            judge.send_signal(signum)
            out, err = judge.communicate(timeout=20)
            elapsed = time.monotonic() - start
        finally:
            if judge.poll() is None:
                judge.kill()
                judge.wait()
        gone = wait_for(lambda: not alive(run_pid), 5)
        if not gone:
            os.kill(run_pid, signal.SIGKILL)
        self.assertTrue(gone, "the run outlived the judge")
        self.assertEqual(os.listdir(scratch), [])
        print("%s: the judge and its run ended in %.2f s" % (signal.Signals(signum).name,
                                                              elapsed))
        return judge.returncode, out, err

    def test_sigint(self):
        status, out, err = self.interrupt(signal.SIGINT)
        self.assertEqual(status, 130)
        self.assertIn("ostrevin-judge: interrupted by SIGINT: the run was ended", err)
        self.assertEqual(out, "")

    def test_sigkill_of_the_judge_ends_the_run_too(self):
        status, _, _ = self.interrupt(signal.SIGKILL, run="hangs")
        self.assertEqual(status, -signal.SIGKILL)

    def test_sigterm(self):
        status, _, err = self.interrupt(signal.SIGTERM)
        self.assertEqual(status, 143)
        self.assertIn("interrupted by SIGTERM", err)


if __name__ == "__main__":
    unittest.main()
