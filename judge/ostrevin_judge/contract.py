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

from .findings import Findings
from .promises import PROMISES, named
from .text import quote, show, split
from .verdict import Case, Outcome, Verdict, judged

PROGRAM = "unwind-contract"

_CHECK = re.compile(r"(ok|not ok|differs) ([A-Z][0-9]+) (.+)")
_COUNT = re.compile(r"(\d+) checks: (\d+) ok, (\d+) not ok, (\d+) differs")
_RESULTS = ("ok", "not ok", "differs")


def _count_text(counts):
    return "%d checks: %d ok, %d not ok, %d differs" % _counted(counts)


def _counted(counts):
    return (sum(counts.values()),) + tuple(counts[result] for result in _RESULTS)


def _check(line):
    """(result, promise, description, what) of a check line, or None."""
    match = _CHECK.fullmatch(line.text)
    if not match or match.group(2) not in PROMISES:
        return None
    result, promise, rest = match.groups()
    description, _, what = rest.partition(": ")
    if (result == "ok") == bool(what):
        return None  # ok never says what the platform did; the others always do
    return result, promise, description, what


def judge(run, ending, title):
    other = Findings()     # lines that are neither a check nor the count
    counts = dict.fromkeys(_RESULTS, 0)
    count_line = None
    last_check = None
    cases = []
    for line in split(run.stdout):
        if count_line is not None:
            other.add("after the count line: an extra line", line.number, line.raw)
            continue
        if line.trailing:
            other.add("the line ends in white space that %s never prints" % PROGRAM,
                      line.number, line.raw)
        check = _check(line)
        if check is None:
            if _COUNT.fullmatch(line.text):
                count_line = line
            else:
                other.add("a line that %s never prints" % PROGRAM, line.number, line.raw)
            continue
        result, promise, description, what = check
        counts[result] += 1
        last_check = "%s %s" % (promise, description)
        name = "%s %s" % (promise, show(description))
        if result == "ok":
            cases.append(Case(name))
        elif result == "not ok":
            cases.append(Case(name, Outcome.NOT_OK, ["not ok %s: %s; %s" % (
                name, show(what), named(promise))]))
        else:
            cases.append(Case(name, Outcome.DIFFERS, [
                "differs %s: %s; %s (a difference to look at, not a deviation)"
                % (name, show(what), named(promise))]))

    faults = []
    if count_line is None:
        where = ("after %d checks (the last: %s)" % (_counted(counts)[0], show(last_check))
                 if last_check else "before its first check")
        faults.append("ended early: " + ending.early(where, run.stdout, "without its count line"))
    elif tuple(int(n) for n in _COUNT.fullmatch(count_line.text).groups()) != _counted(counts):
        faults.append("ended early: its count line %s disagrees with its lines, %s"
                      % (quote(count_line.text), quote(_count_text(counts))))
    elif not ending.normal:
        faults.append(ending.after("its count line"))

    cases.append(judged("%s completed with its count line" % PROGRAM, other.sentences() + faults))
    findings = [text for case in cases if case.outcome is Outcome.NOT_OK for text in case.texts]
    return Verdict(PROGRAM, title, cases, findings, _count_text(counts))
