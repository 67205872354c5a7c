"""The verdict on the contract program's output.

It prints one line per check, in one of three forms,
    ok <ID> <situation>
    not ok <ID> <situation>: <what the platform did>
    differs <ID> <situation>: <what the platform did>
then, optionally, one count line per promise that has checks,
`<ID>: <N> checks: <A> ok, <B> not ok, <C> differs`, and last
`<N> checks: <A> ok, <B> not ok, <C> differs`. Every `not ok` is a
deviation, named with its promise; `differs` (reference behaviour that the
platform does otherwise) is shown but is not one. A run without the last
count line, or with a count line that disagrees with its lines, ended early.
"""
import re

from .findings import Findings
from .promises import PROMISES, named
from .text import quote, show, split
from .verdict import Case, Outcome, Verdict, judged

PROGRAM = "unwind-contract"

_CHECK = re.compile(r"(ok|not ok|differs) ([A-Z][0-9]+) (.+)")
_COUNT = re.compile(r"(?:([A-Z][0-9]+): )?(\d+) checks: (\d+) ok, (\d+) not ok, (\d+) differs")
_RESULTS = ("ok", "not ok", "differs")


def _count_text(counts, promise=None):
    text = "%d checks: %d ok, %d not ok, %d differs" % _counted(counts)
    return "%s: %s" % (promise, text) if promise else text


def _counted(counts):
    return (sum(counts.values()),) + tuple(counts[result] for result in _RESULTS)


def _check(line):
    """(result, promise, situation, what) of a check line, or None."""
    match = _CHECK.fullmatch(line.text)
    if not match or match.group(2) not in PROMISES:
        return None
    result, promise, rest = match.groups()
    situation, _, what = rest.partition(": ")
    if (result == "ok") == bool(what):
        return None  # ok never says what the platform did; the others always do
    return result, promise, situation, what


def judge(run, ending, title):
    other = Findings()     # lines that are neither a check nor a count
    counts = {None: dict.fromkeys(_RESULTS, 0)}  # promise (None: all) -> its checks' results
    said = {}              # promise (None: all) -> its count line and what it says
    last_check = None
    cases = []
    for line in split(run.stdout):
        if None in said:
            other.add("after the count line: an extra line", line.number, line.raw)
            continue
        if line.trailing:
            other.add("the line ends in white space that %s never prints" % PROGRAM,
                      line.number, line.raw)
        check = _check(line)
        if check is None:
            count = _COUNT.fullmatch(line.text)
            promise = count and count.group(1)
            if count and (promise is None or promise in PROMISES) and promise not in said:
                said[promise] = (line, tuple(int(n) for n in count.groups()[1:]))
            else:
                other.add("a line that %s never prints" % PROGRAM, line.number, line.raw)
            continue
        result, promise, situation, what = check
        counts[None][result] += 1
        counts.setdefault(promise, dict.fromkeys(_RESULTS, 0))[result] += 1
        last_check = "%s %s" % (promise, situation)
        name = "%s %s" % (promise, show(situation))
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
    if None not in said:
        where = ("after %d checks (the last: %s)" % (_counted(counts[None])[0], show(last_check))
                 if last_check else "before its first check")
        faults.append("ended early: " + ending.early(where, run.stdout, "without its count line"))
    else:
        # The count lines of the promises, when there are any, must be there
        # for every promise with checks, and agree with them as the last must.
        promises = set(said) | set(counts) if len(said) > 1 else {None}
        for promise in sorted(promises, key=[None, *PROMISES].index):
            line, numbers = said.get(promise, (None, None))
            checked = counts.get(promise, dict.fromkeys(_RESULTS, 0))
            if line is None:
                faults.append("ended early: it printed no count line for %s, whose lines are %s"
                              % (promise, quote(_count_text(checked, promise))))
            elif numbers != _counted(checked):
                faults.append("ended early: its count line %s disagrees with its lines, %s"
                              % (quote(line.text), quote(_count_text(checked, promise))))
        if not faults and not ending.normal:
            faults.append(ending.after("its count line"))

    completion = judged("%s completed with its count line" % PROGRAM, other.sentences() + faults)
    cases.append(completion)
    findings = [text for case in cases if case.outcome is Outcome.NOT_OK for text in case.texts]
    return Verdict(PROGRAM, title, cases, findings, _count_text(counts[None]))
