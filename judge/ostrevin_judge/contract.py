"""The verdict on the contract program's output.

It prints one line per check, in one of three forms,
    ok <ID> <description>
    not ok <ID> <description>: <what the platform did>
    differs <ID> <description>: <what the platform did>
and last `<N> checks: <A> ok, <B> not ok, <C> differs`. Every `not ok` is a
deviation, named with its promise; `differs` (reference behaviour that the
platform does otherwise) is shown but is not one. A run without the count
line, or whose count disagrees with its lines, ended early.
"""
import re

from . import lines as lines_mod
from .findings import Findings
from .promises import PROMISES, named
from .text import quote, show
from .verdict import Case, Verdict, COULD_NOT_RUN, DEVIATES

PROGRAM = "unwind-contract"

_CHECK = re.compile(r"(ok|not ok|differs) ([A-Z][0-9]+) (.+)")
_COUNT = re.compile(r"(\d+) checks: (\d+) ok, (\d+) not ok, (\d+) differs")
_RESULTS = ("ok", "not ok", "differs")


def _count_text(counts):
    return "%d checks: %d ok, %d not ok, %d differs" % (
        sum(counts.values()), counts["ok"], counts["not ok"], counts["differs"])


def judge(run, ending, title):
    verdict = Verdict(PROGRAM, title)
    verdict.elapsed = run.elapsed
    run_lines = lines_mod.split(run.stdout)
    if not run_lines and not run.flooded and not ending.failed:
        verdict.state = COULD_NOT_RUN
        verdict.reason = ending.sentence("before printing anything") + ending.stderr_note()
        case = Case("%s ran" % PROGRAM)
        case.error = verdict.reason
        verdict.cases.append(case)
        return verdict

    other = Findings()     # lines that are neither a check nor the count
    counts = dict.fromkeys(_RESULTS, 0)
    count_line = None
    last_check = None
    for line in run_lines:
        if count_line is not None:
            other.add("after the count line: an extra line", line.number, line.raw)
            continue
        if line.trailing:
            other.add("the line ends in white space that %s never prints" % PROGRAM,
                      line.number, line.raw)
        match = _CHECK.fullmatch(line.text)
        if match and match.group(2) in PROMISES:
            result, promise, rest = match.groups()
            description, _, what = rest.partition(": ")
            if (result == "ok") == bool(what):
                match = None  # ok never says what the platform did; the others always do
        if not match or match.group(2) not in PROMISES:
            if _COUNT.fullmatch(line.text):
                count_line = line
            else:
                other.add("a line that %s never prints" % PROGRAM, line.number, line.raw)
            continue
        counts[result] += 1
        last_check = "%s %s" % (promise, description)
        case = Case("%s %s" % (promise, show(description)))
        if result == "not ok":
            case.findings.append("not ok %s %s: %s; %s" % (
                promise, show(description), show(what), named(promise)))
        elif result == "differs":
            case.notes.append("differs %s %s: %s; %s (a difference to look at, not a deviation)"
                              % (promise, show(description), show(what), named(promise)))
        verdict.cases.append(case)

    fault = None
    if count_line is None:
        where = ("after %d checks (the last: %s)" % (sum(counts.values()), show(last_check))
                 if last_check else "before its first check")
        if not run_lines:
            where = ("before anything it printed reached the judge (what a program has not"
                     " flushed is lost when it ends this way)")
        fault = "ended early: " + ending.sentence(where)
        if ending.normal:
            fault += ", without its count line"
        fault += ending.stderr_note()
    else:
        said = tuple(int(n) for n in _COUNT.fullmatch(count_line.text).groups())
        printed = (sum(counts.values()), counts["ok"], counts["not ok"], counts["differs"])
        if said != printed:
            fault = ("ended early: its count line %s disagrees with its lines, %s"
                     % (quote(count_line.text), quote(_count_text(counts))))
        elif not ending.normal:
            fault = ending.after("its count line") + ending.stderr_note()
    verdict.summary = _count_text(counts)

    completion = Case("%s completed with its count line" % PROGRAM)
    completion.findings += other.sentences()
    if fault:
        completion.findings.append(fault)
    verdict.cases.append(completion)
    for case in verdict.cases:
        verdict.findings += case.findings
    if verdict.findings:
        verdict.state = DEVIATES
    return verdict
