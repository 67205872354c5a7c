"""What the judge's tests share: where the judge under test is (the copy in a
build's bin/, named by OSTREVIN_JUDGE), the fake runs beside this file, and
a way to run the judge and read its verdict."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

JUDGE = os.environ.get("OSTREVIN_JUDGE") or os.path.join(
    os.path.dirname(__file__), "..", "..", "judge", "ostrevin-judge")
JUDGE = os.path.abspath(JUDGE)
FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake")
FAKE_OSTREVIN = os.path.join(FAKE, "ostrevin")
STATUSES = os.path.join(os.path.dirname(__file__), "..", "..", "common", "statuses.def")
PROMISES = os.path.join(os.path.dirname(__file__), "..", "..", "common", "promises.def")

# The judge's own modules, for the tests that call them directly.
sys.path.insert(0, os.path.dirname(os.path.realpath(JUDGE)))
sys.dont_write_bytecode = True


class Verdict:
    def __init__(self, completed):
        self.status = completed.returncode
        self.out = completed.stdout
        self.err = completed.stderr

    @property
    def text(self):
        return self.out + self.err


def judge(*args, env=None, cwd=None, timeout=60, tool=JUDGE, **fake):
    """Runs the judge (or a copy of it, tool) with args; fake=value pairs set
    FAKE_<NAME> for the fake programs."""
    environment = dict(os.environ if env is None else env)
    for name, value in fake.items():
        environment["FAKE_" + name.upper()] = str(value)
    completed = subprocess.run([tool] + list(args), env=environment, cwd=cwd,
                               stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               errors="replace", timeout=timeout)
    return Verdict(completed)


def fake_run(run, *options, **fake):
    """The judge on the fake ostrevin's run named `run`, ostrevin alone."""
    return judge("--only", "transcript", *options, "command", FAKE_OSTREVIN, run=run, **fake)


def copy_judge(folder):
    """A copy of the judge in folder, as if installed there; its path."""
    source = os.path.dirname(os.path.realpath(JUDGE))
    shutil.copy(JUDGE, folder)
    package = os.path.join(folder, "ostrevin_judge")
    shutil.copytree(os.path.join(source, "ostrevin_judge"), package,
                    ignore=shutil.ignore_patterns("__pycache__"))
    for table in (STATUSES, PROMISES):  # the checkout's judge has no copies of its own
        if not os.path.exists(os.path.join(package, os.path.basename(table))):
            shutil.copy(table, package)
    return os.path.join(folder, os.path.basename(JUDGE))


def write_pe(path, machine=0x14C, magic=0x10B):
    """A file with the headers of a PE program (enough for the judge's
    check; Wine itself is faked where these are used)."""
    head = bytearray(0x200)
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x80)
    head[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<H", head, 0x84, machine)
    struct.pack_into("<H", head, 0x98, magic)
    with open(path, "wb") as file:
        file.write(head)


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.tmp = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()
