"""ostrevin-judge's command line: runs the suite's programs on a platform and
prints the verdict. Exit status: 0 conforms, 1 deviates, 2 could not run;
interrupted by SIGINT, SIGTERM or SIGHUP it ends the run and exits 128 plus
the signal's number (130, 143, 129), as shells do."""
import math
import os
import sys

from . import contract
from . import endings
from . import platforms
from . import programs
from . import report
from . import runner
from . import transcript
from .programs import CannotRun, CONTRACT, OSTREVIN
from .text import escape
from .verdict import could_not_run, exit_status, not_judged

USAGE = """\
usage: ostrevin-judge [--tap] [--junit FILE] [--timeout SECONDS]
                      [--only transcript|contract] PLATFORM ...

PLATFORM is one of:
  linux [PROGRAM]          the linux-i386 build with our platform layer
                           (default: the ostrevin beside this tool)
  wine [--wine WINE] [--prefix DIR | --user-prefix] [--root TREE] [PROGRAM.exe]
                           the win32 build under Wine: WINE (default: $WINE,
                           else wine on PATH) with the wineserver of the same
                           build ($WINESERVER, else the one beside WINE); a
                           private prefix unless DIR is given or --user-prefix
                           asks for $WINEPREFIX. With --root, the Wine
                           installed in TREE, run chrooted into it in a mount
                           namespace of its own
  qemu [--qemu QEMU] linux|wine ...
                           either of the above on an emulated CPU: QEMU
                           (default: $QEMU, else qemu-i386 on PATH) runs the
                           program, or Wine's ELF loader (WINELOADERNOEXEC=1)
  command COMMAND [ARG...] any command line that runs ostrevin

A PROGRAM named without a slash is the file in the current folder. The
contract program, unwind-contract (.exe on win32), is the one beside ostrevin.

options:
  --tap             report in TAP: one test point per scenario row, one for
                    completion, one per contract check
  --junit FILE      also write the verdict as JUnit XML to FILE
  --timeout SECONDS end a run that takes longer and report it as hung
                    (default 120)
  --only transcript judge ostrevin alone
  --only contract   judge the contract program alone
"""

DEFAULT_TIMEOUT = 120.0


class Options:
    def __init__(self):
        self.tap = False
        self.junit = None
        self.timeout = DEFAULT_TIMEOUT
        self.only = None


def _usage_error(message):
    sys.stderr.write("ostrevin-judge: %s\n%s" % (message, USAGE))
    return 2


def _timeout(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise platforms.UsageError("--timeout takes a positive number of seconds, not '%s'"
                                   % escape(text))
    return value


def parse(args):
    options = Options()
    while args and args[0].startswith("-"):
        option = args.pop(0)
        if option in ("--help", "-h"):
            sys.stdout.write(USAGE)
            sys.exit(0)
        if option == "--tap":
            options.tap = True
            continue
        if option not in ("--junit", "--timeout", "--only"):
            raise platforms.UsageError("unknown option %s" % escape(option))
        if not args:
            raise platforms.UsageError("%s takes a value" % option)
        value = args.pop(0)
        if option == "--junit":
            options.junit = value
        elif option == "--timeout":
            options.timeout = _timeout(value)
        elif value in ("transcript", "contract"):
            options.only = value
        else:
            raise platforms.UsageError("--only takes transcript or contract, not '%s'"
                                       % escape(value))
    if not args:
        raise platforms.UsageError("no platform given")
    name = args.pop(0)
    if name not in platforms.PLATFORMS:
        raise platforms.UsageError("unknown platform '%s'" % escape(name))
    return options, name, args


def _roles(options):
    if options.only == "transcript":
        return [OSTREVIN]
    if options.only == "contract":
        return [CONTRACT]
    return [OSTREVIN, CONTRACT]


def _what(target):
    return {"elf": "linux-i386 program", "pe": "win32 program"}.get(target.format, "program")


def _title(role, target, path):
    return "%s on %s (%s)" % (role, escape(target.name), escape(path))


def _check(target, roles):
    """The roles that run, each with its path and, when its program is not
    one the platform runs, why. Raises CannotRun when ostrevin (or the one
    program asked for) is missing; a contract program missing beside
    ostrevin is a note."""
    runs = {}
    for role in roles:
        path = target.paths.get(role)
        if role == CONTRACT and len(roles) > 1:
            if path is None:
                continue
            if not os.path.lexists(path):
                target.note[CONTRACT] = "%s not found beside %s: contract not judged" % (
                    escape(os.path.basename(path)), escape(target.paths[OSTREVIN]))
                continue
        if path is None:
            raise CannotRun(target.note.get(role, "no %s to run" % role))
        problem = None
        if target.format:
            try:
                programs.check(path, target.format, _what(target))
            except CannotRun as error:
                if role == OSTREVIN or len(roles) == 1:
                    raise
                problem = str(error)
        runs[role] = (path, problem)
    return runs


def _judge(role, target, path, options):
    title = _title(role, target, path)
    run = runner.run(target.command(path), target.env, options.timeout)
    if run.error:
        return could_not_run(role, title, "cannot start %s: %s" % (
            escape(run.argv[0]), run.error.strerror))
    ending = endings.ending(run, "%g" % options.timeout, role, target.kind)
    if not run.stdout and not ending.failed:
        verdict = could_not_run(role, title, ending.sentence("before printing anything")
                                + ending.stderr_note())
    else:
        verdict = (transcript.judge if role == OSTREVIN else contract.judge)(run, ending, title)
    verdict.elapsed = run.elapsed
    return verdict


def main(argv, here):
    for stream in (sys.stdout, sys.stderr):  # whatever the locale, never fail to print
        stream.reconfigure(errors="backslashreplace")
    runner.catch_interrupts()
    try:
        return _main(list(argv), here)
    except runner.Interrupted as interrupt:
        name = endings.signal_name(interrupt.signum)
        sys.stderr.write("ostrevin-judge: interrupted by %s: the run was ended\n" % name)
        return 128 + interrupt.signum
    except BrokenPipeError:
        # The reader went away (ostrevin-judge ... | head): no verdict was
        # delivered. Keep Python from failing again on flushing at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 2


def _main(args, here):
    try:
        options, name, args = parse(args)
        endings.statuses()  # the installation's own table, before anything runs
        target = platforms.PLATFORMS[name](args, dict(os.environ), here)
    except platforms.UsageError as error:
        return _usage_error(str(error))
    except CannotRun as error:
        sys.stderr.write("ostrevin-judge: %s\n" % escape(str(error)))
        return 2
    roles = _roles(options)
    try:
        runs = _check(target, roles)
    except CannotRun as error:
        sys.stderr.write("ostrevin-judge: %s\n" % escape(str(error)))
        return 2

    verdicts = []
    try:
        target.prepare(options.timeout)
        unprepared = None
    except CannotRun as error:
        unprepared = str(error)
    for role in roles:
        if role in runs:
            path, problem = runs[role]
            if problem or unprepared:
                verdicts.append(could_not_run(role, _title(role, target, path),
                                              escape(problem or unprepared)))
            else:
                verdicts.append(_judge(role, target, path, options))
        elif role in target.note:
            verdicts.append(not_judged(role, target.note[role]))
    for verdict in verdicts:
        verdict.classname = "%s.%s" % (verdict.program, target.short)

    lines = report.tap(verdicts) if options.tap else report.words(verdicts)
    sys.stdout.write("".join(line + "\n" for line in lines))
    sys.stdout.flush()
    if options.junit:
        try:
            with open(options.junit, "w", encoding="utf-8") as file:
                file.write(report.junit(verdicts))
        except OSError as error:
            sys.stderr.write("ostrevin-judge: cannot write %s: %s\n" % (options.junit,
                                                                       error.strerror))
            return 2
    return exit_status(verdicts)
