"""How a run ended, in words: its exit status or signal as the judge read
them from the wait status, the platform's status when the exit status (or
Wine's report of an unhandled exception) names one, and the judge's own
time-out or output cap."""
import functools
import os
import re
import signal

from . import promises
from . import runner
from .programs import CannotRun
from .text import show

# The table that the layer and the contract program are built from:
# statuses.def in this package once built or installed, else the checkout's.
_TABLES = (os.path.join(os.path.dirname(__file__), "statuses.def"),
           os.path.join(os.path.dirname(__file__), "..", "..", "common", "statuses.def"))
_ENTRY = re.compile(r'(STATUS|LAYER_EXIT)\((\w+), *(0x[0-9A-Fa-f]+|\d+), *([A-Z]\d+), *"(.*)"\)$')
# The judge's short words for two statuses, after the status's name.
_NOTES = {"STATUS_UNWIND": "raised at the end of the chain",
          "STATUS_STACK_OVERFLOW": "runaway nested unwinds"}


@functools.lru_cache(maxsize=None)
def statuses():
    """(statuses, layer exits): code -> (name, promise, note) of the statuses
    that end a process when RtlUnwind raises them unhandled, with their low
    byte as exit status (our layer's, and Wine's); exit status -> (promise,
    what it reports) of our layer's own. Raises CannotRun without a table."""
    for path in _TABLES:
        try:
            with open(path, encoding="utf-8") as file:
                text = file.read()
        except OSError:
            continue
        found = ({}, {})
        for line in text.splitlines():
            match = _ENTRY.match(line.strip())
            if match:
                macro, name, number, promise, what = match.groups()
                if macro == "STATUS":
                    found[0][int(number, 0)] = (name, promise, _NOTES.get(name))
                else:
                    found[1][int(number, 0)] = (promise, what)
        return found
    raise CannotRun("the table of the platform's statuses is missing: no %s"
                    % os.path.normpath(_TABLES[0]))


# Other exceptions that end a Windows program, named when Wine reports them,
# with the words that Wine's report uses instead of the code for some.
OTHER_EXCEPTIONS = {
    0x80000003: ("EXCEPTION_BREAKPOINT", "breakpoint"),
    0xC0000005: ("EXCEPTION_ACCESS_VIOLATION", "page fault"),
    0xC000001D: ("EXCEPTION_ILLEGAL_INSTRUCTION", "illegal instruction"),
    0xC0000094: ("EXCEPTION_INT_DIVIDE_BY_ZERO", "divide by zero"),
    0xC0000096: ("EXCEPTION_PRIV_INSTRUCTION", "privileged instruction"),
    0xC00000FD: ("STATUS_STACK_OVERFLOW", "stack overflow"),
    0xC0000409: ("STATUS_STACK_BUFFER_OVERRUN", None),
}

# The codes with which Windows' loader ends a program before it runs.
LOADER_FAILURES = {
    0xC0000135: "STATUS_DLL_NOT_FOUND",
    0xC0000139: "STATUS_ENTRYPOINT_NOT_FOUND",
    0xC000007B: "STATUS_INVALID_IMAGE_FORMAT",
}

# Wine says on stderr, whatever WINEDEBUG is:
#   wine: Unhandled exception 0xc0000029 in thread 24 at address ...
#   wine: Unhandled stack overflow at address ...
#   wine: Unhandled page fault on write access to 00000000 at address ...
_WINE_UNHANDLED = re.compile(r"Unhandled (exception 0x([0-9a-fA-F]{8})|[a-z][a-z ]*?)"
                             r"(?: on [a-z]+ access to \S+)?(?: in thread \S+)? at address")
_WINE_NAMES = {words: code for code, (_, words) in OTHER_EXCEPTIONS.items() if words}
# Our layer says, when nobody takes an exception:
#   seh_platform: unhandled exception 0xc0000029 (STATUS_...) at 0x... in thread 42
_LAYER_UNHANDLED = re.compile(r"seh_platform: unhandled exception 0x([0-9a-f]{8})")

_FAULT_SIGNALS = {signal.SIGSEGV, signal.SIGBUS, signal.SIGILL, signal.SIGFPE,
                  signal.SIGTRAP, signal.SIGABRT, signal.SIGSYS}

# Lines of stderr that say most about why a run ended, best first.
_TELLING = (re.compile(r"RtlUnwind:|seh_platform:"), _WINE_UNHANDLED,
            re.compile(r"err:module|error while loading shared libraries|^wine: "))


def signal_name(signum):
    try:
        return signal.Signals(signum).name
    except ValueError:
        return "signal %d" % signum


def _unhandled_exception(stderr_text, platform):
    """The whole code of the exception that nobody took, as the layer's line
    or Wine's report names it; None if neither does."""
    if platform != "wine":
        match = _LAYER_UNHANDLED.search(stderr_text)
        if match:
            return int(match.group(1), 16)
    return _wine_exception(stderr_text) if platform != "linux" else None


def _wine_exception(stderr_text):
    match = _WINE_UNHANDLED.search(stderr_text)
    if not match:
        return None
    if match.group(2):
        return int(match.group(2), 16)
    return _WINE_NAMES.get(match.group(1), 0)


def _telling_line(stderr_text):
    lines = [line for line in stderr_text.splitlines() if line.strip()]
    for pattern in _TELLING:
        for line in lines:
            if pattern.search(line):
                return line
    return lines[0] if lines else ""


class Ending:
    """The end of one run. `head` and `tail` frame the place in the run
    (`where`) in a sentence: "the run " + head + " " + where + tail."""

    def __init__(self, kind, head, tail=""):
        self.kind = kind  # normal, exit, status, exception, fault, killed, hung, floods
        self.head = head
        self.tail = tail
        self.stderr = ""  # the line of stderr that tells most

    @property
    def normal(self):
        return self.kind == "normal"

    @property
    def failed(self):
        """The program ran and the platform failed it: a fault, an unhandled
        exception, a platform status, or a hang that the judge ended (an
        RtlUnwind that deadlocks). Even with nothing printed (a program
        loses what it has not flushed when it ends this way), a deviation."""
        return self.kind in ("fault", "exception", "status", "hung")

    def sentence(self, where):
        return "the run %s %s%s" % (self.head, where, self.tail)

    def after(self, what):
        """The run printed `what` and then ended this way."""
        return "the run printed %s but then %s%s%s" % (what, self.head.rstrip(","), self.tail,
                                                     self.stderr_note())

    def early(self, where, printed, lacking):
        """The run ended `where`, before it printed all it should have: when
        it ended normally, still `lacking` that."""
        if not printed:
            where = ("before anything it printed reached the judge (what a program has not"
                     " flushed is lost when it ends this way)")
        return "%s%s%s" % (self.sentence(where), ", " + lacking if self.normal else "",
                           self.stderr_note())

    def stderr_note(self):
        return " (stderr: %s)" % show(self.stderr) if self.stderr else ""


def _status_words(code, how):
    name, promise, note = statuses()[0][code]
    words = "%s (0x%08X)%s" % (name, code, ", " + note if note else "")
    return " with %s %s; %s" % (how, words, promises.named(promise))


def ending(run, program, platform=None):
    """How `run` of `program` ended. `platform` is "wine" when the run was
    a Windows program under Wine, "linux" for our layer, None if unknown.
    An exit status above 255 (a run saved on Windows) is the whole code."""
    stderr_text = run.stderr.decode("utf-8", errors="replace")
    result = _ending(run, program, platform, stderr_text)
    result.stderr = _telling_line(stderr_text)
    return result


def _ending(run, program, platform, stderr_text):
    if run.flooded:
        return Ending("floods", "floods its output: it wrote more than %d bytes"
                      % runner.STDOUT_CAP, ", and the judge ended it")
    if run.timed_out:
        return Ending("hung", "hung: it had not ended within the time-out of %g s," % run.limit)
    if run.signal is not None:
        name = signal_name(run.signal)
        if run.signal in _FAULT_SIGNALS:
            return Ending("fault", "faulted (%s)" % name)
        return Ending("killed", "was ended by %s" % name,
                      ", not by the judge (another process sent it, such as the"
                      " out-of-memory killer)")
    status = run.exit_status
    if status == 0:
        return Ending("normal", "ended")
    unwind_statuses, layer_exits = statuses()
    if status > 0xFF:  # the whole code, as Windows gives it
        code = status
        if code in LOADER_FAILURES:
            return Ending("exit", "ended with exit status 0x%08X" % code,
                          ", %s: the program could not be loaded" % LOADER_FAILURES[code])
    else:
        code = _unhandled_exception(stderr_text, platform)
    if code is not None and (code & 0xFF) == (status & 0xFF):
        if code in unwind_statuses:
            return Ending("status", "ended", _status_words(code, "an unhandled exception"))
        name = OTHER_EXCEPTIONS.get(code, (None,))[0]
        return Ending("exception", "faulted",
                      ": an unhandled exception 0x%08X%s" % (code, " (%s)" % name if name else ""))
    for code in unwind_statuses:
        if code & 0xFF == status:
            return Ending("status", "ended", _status_words(
                code, "exit status %d (0x%02X), the low byte of" % (status, status)))
    if platform == "wine":
        names = {code: name for code, (name, _) in OTHER_EXCEPTIONS.items()}
        for code, name in list(names.items()) + list(LOADER_FAILURES.items()):
            if code & 0xFF == status:
                # Without Wine's word for it, not known to be an exception:
                # the loader ends a program whose DLL is missing this way.
                return Ending("exit", "ended with exit status %d (0x%02X)" % (status, status),
                              ", the low byte of %s (0x%08X)" % (name, code))
    if status in layer_exits and platform != "wine":
        promise, what = layer_exits[status]
        return Ending("status", "ended", " with exit status %d: %s; %s"
                      % (status, what, promises.named(promise)))
    return Ending("exit", "ended with exit status %d" % status,
                  ", which %s never does" % program)
