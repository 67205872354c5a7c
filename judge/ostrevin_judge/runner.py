"""Runs one program of the suite as a child in a session (and so a process
group) of its own, away from the terminal's signals, and reports exactly how
it ended: its exit status or the signal that ended it, whether the judge's
own time-out fired, and whether it flooded its output.

Output is read through pipes, never scratch files. Standard output is kept
up to STDOUT_CAP bytes; a run that writes more is ended (its whole group) and
marked as flooding. Standard error is kept up to STDERR_CAP bytes and the rest
is read and dropped, so that a platform's own tracing (WINEDEBUG) never blocks
the run nor fills memory.
"""
import ctypes
import os
import selectors
import signal
import subprocess
import time

from .programs import CannotRun
from .text import escape

STDOUT_CAP = 1 << 20  # 1 MiB: ostrevin prints 171 bytes, the contract less
STDERR_CAP = 64 << 10

# After the child has ended, how long a descendant that inherited the pipes
# may keep them open before the judge stops reading.
EXIT_GRACE = 0.5


class Interrupted(Exception):
    """The judge itself got SIGINT, SIGTERM or SIGHUP."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _interrupt(signum, frame):
    raise Interrupted(signum)


def catch_interrupts():
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _interrupt)


class Run:
    """How one run ended, and what it wrote."""

    def __init__(self):
        self.exit_status = None  # set when it exited
        self.signal = None       # set when a signal ended it
        self.timed_out = False   # the judge's time-out fired (and killed it)
        self.limit = None        # that time-out, in seconds
        self.flooded = False     # it wrote more than STDOUT_CAP (and was killed)
        self.stdout = b""
        self.stderr = b""
        self.elapsed = 0.0


_PR_SET_PDEATHSIG = 1
try:
    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):
    _prctl = None


def _die_with_the_judge():
    # In the child, before exec: if the judge itself is killed (SIGKILL, a
    # CI runner's time-out), the run does not go on alone with nobody to end it.
    if _prctl is not None:
        _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def _kill_group(child):
    # The group's id stays reserved while any member lives, so this reaches
    # the run and whatever it started, even after the child itself is reaped.
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def run(argv, env, timeout):
    """How argv ran; raises CannotRun when it cannot be started."""
    result = Run()
    result.limit = timeout
    start = time.monotonic()
    try:
        child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=env, start_new_session=True,
                                 preexec_fn=_die_with_the_judge)
    except OSError as error:
        raise CannotRun("cannot start %s: %s" % (escape(argv[0]), error.strerror)) from None
    try:
        _collect(child, result, start + timeout)
    finally:
        # However the run or the judge ends (an interrupt, an error of the
        # judge's own), nothing the run started outlives it.
        _kill_group(child)
        child.wait()
        child.stdout.close()
        child.stderr.close()
    if child.returncode < 0:
        result.signal = -child.returncode
    else:
        result.exit_status = child.returncode
    result.elapsed = time.monotonic() - start
    return result


def _collect(child, result, deadline):
    kept = {child.stdout.fileno(): bytearray(), child.stderr.fileno(): bytearray()}
    caps = {child.stdout.fileno(): STDOUT_CAP, child.stderr.fileno(): STDERR_CAP}
    out_fd = child.stdout.fileno()
    written = 0  # to stdout in all, kept or not
    selector = selectors.DefaultSelector()
    for fd in kept:
        os.set_blocking(fd, False)
        selector.register(fd, selectors.EVENT_READ)
    ended_at = None
    try:
        while True:
            now = time.monotonic()
            if ended_at is None and child.poll() is not None:
                ended_at = now
            if ended_at is None and now >= deadline:
                result.timed_out = True
                _kill_group(child)
                ended_at = now
            if ended_at is not None and (not selector.get_map() or now - ended_at > EXIT_GRACE):
                break
            if ended_at is None:
                wait = min(0.05, deadline - now)
            else:
                wait = EXIT_GRACE - (now - ended_at)
            if not selector.get_map():
                time.sleep(max(wait, 0.0))  # both pipes closed, the child runs on
                continue
            for key, _ in selector.select(max(wait, 0.0)):
                fd = key.fd
                try:
                    data = os.read(fd, 65536)
                except BlockingIOError:
                    continue
                if not data:
                    selector.unregister(fd)
                    continue
                room = caps[fd] - len(kept[fd])
                if room > 0:
                    kept[fd] += data[:room]
                if fd == out_fd:
                    written += len(data)
                    if written > STDOUT_CAP and not result.flooded:
                        result.flooded = True
                        _kill_group(child)
                        ended_at = ended_at or time.monotonic()
    finally:
        selector.close()
    result.stdout = bytes(kept[out_fd])
    result.stderr = bytes(kept[child.stderr.fileno()])
