"""ostrevin-judge's command line: runs the suite's programs on a platform and
prints the verdict, with the exit status that EPILOG gives (interrupted, it
ends the run and exits 128 plus the signal's number, as shells do)."""
import argparse
import math
import os
import re
import sys

from . import contract
from . import endings
from . import platforms
from . import programs
from . import report
from . import runner
from . import transcript
from .nearest import refused
from .programs import CannotRun, OSTREVIN, ROLES as PROGRAMS, find_command
from .text import escape
from .verdict import could_not_run, exit_status, not_judged

DEFAULT_TIMEOUT = 120.0
# What runs for each --only.
ROLES = {"transcript": [OSTREVIN], "contract": list(PROGRAMS[1:]), None: list(PROGRAMS)}

DESCRIPTION = """\
Runs ostrevin and then the contract program unwind-contract (.exe on win32),
found beside it, on a platform, and judges what they print: every deviation
is named with the scenario or check it came from and the promise of the
unwinder that it breaks."""

EXIT_STATUS = """\
exit status: 0 conforms, 1 deviates, 2 could not run or bad usage; 130,
143 or 129 when interrupted by SIGINT, SIGTERM or SIGHUP."""

EPILOG = """\
Options are taken before or after the platform; each platform has its own
--help. A PROGRAM named without a slash is the file in the current folder.

""" + EXIT_STATUS


class CannotSave(Exception):
    """--save's folder cannot be written: the exit status is 2."""


class UsageError(Exception):
    """Wrong arguments: the usage is shown and the exit status is 2."""

    def __init__(self, message, usage):
        super().__init__(message)
        self.usage = usage


# argparse's messages, in the judge's words: (pattern, replacement, the
# group that holds a wrong name, to which the nearest valid one is added).
_MESSAGES = ((r"argument (\S+): expected one argument", r"\1 takes a value", None),
             (r"argument --only: invalid choice: '([^']*)'.*",
              r"--only takes transcript or contract, not '\1'", 1),
             (r"argument PLATFORM: invalid choice: '([^']*)'.*", r"unknown platform \1", 1),
             (r"the following arguments are required: PLATFORM", "no platform given", None),
             (r"argument linux\|wine: invalid choice: '([^']*)'.*",
              r"qemu takes linux or wine, then their arguments, not \1", 1),
             (r"the following arguments are required: linux\|wine",
              "qemu takes linux or wine, then their arguments", None),
             (r"unrecognized arguments: (\S+).*", r"unknown option \1", 1),
             (r"argument [^:]+: (.*)", r"\1", None))


class _Parser(argparse.ArgumentParser):
    """Raises UsageError, with the usage of the (sub-)command that failed,
    naming the valid option or platform nearest to a wrong one. A
    platform's parser takes no argument it does not know."""
    platform = None

    def error(self, message):
        for pattern, replacement, wrong in _MESSAGES:
            match = re.fullmatch(pattern, message, flags=re.S)
            if match:
                words = match.expand(replacement)
                if wrong:
                    words += self._nearest(match.group(wrong), message)
                message = words
                break
        raise UsageError(message, self.format_usage())

    def _nearest(self, word, message=""):
        """Among this parser's long options, or the choices that argparse's
        message lists."""
        if word.startswith("-"):
            return refused(word, [name for name in self._option_string_actions
                                  if name.startswith("--")])
        listed = re.search(r"\(choose from (.*)\)$", message)
        return refused(word, re.findall(r"'([^']*)'", listed.group(1)) if listed else [])

    def parse_known_args(self, args=None, namespace=None):
        namespace, extra = super().parse_known_args(args, namespace)
        if self.platform and extra:
            options = [arg for arg in extra if arg.startswith("-")]
            if options:
                raise UsageError("unknown %s option %s%s" % (
                    self.platform, options[0], self._nearest(options[0])), self.format_usage())
            self.error("%s takes at most one program, not %s" % (
                self.platform, " ".join([namespace.program] + extra)))
        return namespace, extra


def _timeout(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError("--timeout takes a positive number of seconds, not '%s'"
                                         % escape(text))
    return value


def _parser():
    common = argparse.ArgumentParser(add_help=False)
    group = common.add_argument_group("options (before or after the platform)")
    group.add_argument("--tap", action="store_true", default=argparse.SUPPRESS,
                       help="TAP instead of words: one test point per scenario row, one for"
                       " completion, one per contract check")
    group.add_argument("--junit", metavar="FILE", default=argparse.SUPPRESS,
                       help="also write JUnit XML: one test suite per program, one test case"
                       " per row, completion and contract check")
    group.add_argument("--save", metavar="DIR", default=argparse.SUPPRESS,
                       help="also keep each run in DIR as the saved platform reads it, to judge"
                       " again or attach to a report")
    group.add_argument("--timeout", metavar="SECONDS", type=_timeout, default=argparse.SUPPRESS,
                       help="end a run still going after SECONDS (default %g) and report it as"
                       " hung" % DEFAULT_TIMEOUT)
    group.add_argument("--only", metavar="transcript|contract", choices=("transcript", "contract"),
                       default=argparse.SUPPRESS,
                       help="judge ostrevin alone, or the contract program alone")

    def parser(subparsers, name, text, **options):
        made = subparsers.add_parser(name, help=text, description=text, parents=[common],
                                     allow_abbrev=False, epilog=EXIT_STATUS, **options)
        made.platform = name
        return made

    def linux(subparsers):
        made = parser(subparsers, "linux", "the linux-i386 build with our platform layer, the"
                      " one the loader picks (LD_LIBRARY_PATH selects a faulty build)")
        made.add_argument("program", nargs="?", metavar="PROGRAM",
                          help="a 32-bit i386 ELF (default: the ostrevin beside this tool)")

    def wine(subparsers):
        made = parser(subparsers, "wine", "the win32 build under Wine, with the wineserver of"
                      " the same build ($WINESERVER, else the one beside WINE) and a private"
                      " prefix")
        made.add_argument("--wine", metavar="WINE", help="default: $WINE, else wine on PATH")
        prefix = made.add_argument_group("the prefix (default: a private one)")
        prefix.add_argument("--prefix", metavar="DIR", help="the prefix in DIR")
        prefix.add_argument("--user-prefix", action="store_true",
                            help="your own $WINEPREFIX (default ~/.wine)")
        made.add_argument("--root", metavar="TREE", help="the Wine installed in TREE, run"
                          " chrooted into it in a mount namespace of its own")
        made.add_argument("program", nargs="?", metavar="PROGRAM.exe",
                          help="a 32-bit i386 PE (default: the ostrevin.exe beside this tool)")

    top = _Parser(prog="ostrevin-judge", description=DESCRIPTION, epilog=EPILOG,
                  parents=[common], allow_abbrev=False,
                  formatter_class=argparse.RawDescriptionHelpFormatter)
    platforms_ = top.add_subparsers(dest="platform", metavar="PLATFORM", required=True,
                                    title="platforms", parser_class=_Parser)
    linux(platforms_)
    wine(platforms_)
    qemu = parser(platforms_, "qemu", "linux or wine, with their own arguments, on an emulated"
                  " CPU: qemu-i386 runs the program, or Wine's ELF loader")
    qemu.add_argument("--qemu", metavar="QEMU", help="default: $QEMU, else qemu-i386 on PATH")
    emulated = qemu.add_subparsers(dest="emulated", metavar="linux|wine", required=True,
                                   parser_class=_Parser)
    linux(emulated)
    wine(emulated)
    command = parser(platforms_, "command", "any command line that runs ostrevin; the"
                     " contract program runs with the same one, ostrevin's name replaced")
    command.add_argument("argv", nargs=argparse.REMAINDER, metavar="COMMAND [ARG...]")
    saved = parser(platforms_, "saved", "runs saved elsewhere (on Windows, say): in DIR, for"
                   " each program NAME, NAME.out (its stdout), NAME.status (its exit status)"
                   " and, if kept, NAME.err")
    saved.add_argument("folder", metavar="DIR")
    return top


def parse(args):
    parser = _parser()
    try:
        options = parser.parse_args(args)
    except UsageError as error:
        # Without a platform, argparse looks no further: a wrong option
        # given instead says more.
        unknown = [arg for arg in args if arg.startswith("-")
                   and arg.split("=")[0] not in parser._option_string_actions]
        if str(error) != "no platform given" or not unknown:
            raise
        raise UsageError("unknown option %s%s" % (unknown[0], parser._nearest(unknown[0])),
                         error.usage) from None
    if getattr(options, "prefix", None) and getattr(options, "user_prefix", False):
        raise UsageError("--prefix and --user-prefix exclude each other", parser.format_usage())
    if options.platform == "command" and not options.argv:
        raise UsageError("command takes a command line", parser.format_usage())
    return options


def _platform(options, environ, here):
    if options.platform == "command":
        return platforms.command(options.argv, environ)
    if options.platform == "saved":
        return platforms.Saved(options.folder)
    emulator = None
    kind = options.platform
    if kind == "qemu":
        name = options.qemu if options.qemu is not None else environ.get("QEMU") or "qemu-i386"
        emulator = find_command(name, environ, "qemu")
        kind = options.emulated
    if kind == "linux":
        return platforms.linux(options.program, environ, here, emulator)
    return platforms.wine(options.program, environ, here,
                          options.wine if options.wine is not None else
                          environ.get("WINE") or "wine",
                          options.prefix, options.user_prefix, options.root, emulator)


def platform(args, environ, here):
    """The platform that args name as on the judge's command line (a
    PLATFORM, its options and its program), made ready as for a run: for a
    tool that runs other programs where the judge runs the suite (their
    command is `command(path)` then their arguments, in `env`). Raises
    UsageError or CannotRun."""
    target = _platform(parse(args), environ, here)
    target.prepare(DEFAULT_TIMEOUT)
    return target


def _title(role, target, path):
    return "%s on %s (%s)" % (role, escape(target.name), escape(path))


def _check(target, roles):
    """role -> (path, why its program cannot run or None). Raises CannotRun
    when ostrevin (or, asked for the contract alone, every contract program)
    is missing; a contract program missing beside ostrevin is a note."""
    runs = {}
    for role in roles:
        path = target.paths.get(role)
        if role != OSTREVIN:
            if path is None:
                continue
            if not os.path.lexists(path):
                target.note[role] = "%s not found beside %s: contract not judged" % (
                    escape(os.path.basename(path)), escape(target.paths[OSTREVIN]))
                continue
        if path is None:
            raise CannotRun(target.note.get(role, "no %s to run" % role))
        problem = None
        if target.format:
            try:
                programs.check(path, target.format)
            except CannotRun as error:
                if role == OSTREVIN:
                    raise
                problem = str(error)
        runs[role] = (path, problem)
    if not runs:
        raise CannotRun("no contract program to run: %s" % "; ".join(
            target.note[role] for role in roles if role in target.note))
    return runs


def _judge(role, target, path, timeout, save):
    title = _title(role, target, path)
    try:
        run = target.run(path, timeout)
    except CannotRun as error:
        return could_not_run(role, title, escape(str(error)))
    if save:
        try:
            platforms.save(run, save, role)
        except OSError as error:
            raise CannotSave("cannot save the run of %s in %s: %s" % (
                role, escape(save), error.strerror)) from None
    ending = endings.ending(run, role, target.kind)
    if not run.stdout and not ending.failed:
        verdict = could_not_run(role, title, ending.sentence("before printing anything")
                                + ending.stderr_note())
    elif role == OSTREVIN:
        verdict = transcript.judge(run, ending, title)
    else:
        verdict = contract.judge(run, ending, title, role,
                                 lambda args: target.shown(path, args))
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
        options = parse(args)
        endings.statuses()  # the installation's own table, before anything runs
        target = _platform(options, dict(os.environ), here)
        roles = ROLES[getattr(options, "only", None)]
        runs = _check(target, roles)
    except UsageError as error:
        sys.stderr.write("ostrevin-judge: %s\n%s" % (error, error.usage))
        return 2
    except CannotRun as error:
        sys.stderr.write("ostrevin-judge: %s\n" % escape(str(error)))
        return 2

    timeout = getattr(options, "timeout", DEFAULT_TIMEOUT)
    verdicts = []
    try:
        target.prepare(timeout)
        unprepared = None
    except CannotRun as error:
        unprepared = str(error)
    for role in roles:
        if role in runs:
            path, problem = runs[role]
            if problem or unprepared:
                verdicts.append(could_not_run(role, _title(role, target, path),
                                              escape(problem or unprepared)))
                continue
            try:
                verdicts.append(_judge(role, target, path, timeout,
                                       getattr(options, "save", None)))
            except CannotSave as error:
                sys.stderr.write("ostrevin-judge: %s\n" % error)
                return 2
        elif role in target.note:
            verdicts.append(not_judged(role, target.note[role]))
    for verdict in verdicts:
        verdict.classname = "%s.%s" % (verdict.program, target.short)

    lines = report.tap(verdicts) if getattr(options, "tap", False) else report.words(verdicts)
    sys.stdout.write("".join(line + "\n" for line in lines))
    sys.stdout.flush()
    junit = getattr(options, "junit", None)
    if junit:
        try:
            with open(junit, "w", encoding="utf-8") as file:
                file.write(report.junit(verdicts))
        except OSError as error:
            sys.stderr.write("ostrevin-judge: cannot write %s: %s\n" % (junit, error.strerror))
            return 2
    return exit_status(verdicts)
