"""The verdict on a contract program's output.

It prints one line per check, in one of three forms,
    ok <ID> <situation>
    not ok <ID> <situation>: <what the platform did>
    differs <ID> <situation>: <what the platform did>
as each situation ends, the smallest first; then, optionally, one count line
per promise that has checks, `<ID>: <N> checks: <A> ok, <B> not ok, <C>
differs`, and last `<N> checks: <A> ok, <B> not ok, <C> differs`. Every
`not ok` is a deviation, named with its promise; `differs` (reference
behaviour that the platform does otherwise) is shown but is not one. A run
without the last count line, or with a count line that disagrees with its
lines, ended early.

The checks are reported by promise, in the contract's order, and within a
promise in the order the program printed them; each finding with the
commands that rerun that one check and write its reproducer. The program's
own lines are shown whole, escaped but never cut.
"""
import re

from .findings import Findings
from .promises import CONTRACTS, named
from .text import escape, quote, split
from .verdict import Case, Outcome, Verdict, judged

_CHECK = re.compile(r"(ok|not ok|differs) ([A-Z][0-9]+) (.+)")
_COUNT = re.compile(r"(?:([A-Z][0-9]+): )?(\d+) checks: (\d+) ok, (\d+) not ok, (\d+) differs")
_RESULTS = ("ok", "not ok", "differs")
# The programs that write a check's reproducer (--reproduce).
REPRODUCING = ("unwind-contract", "dispatch-contract")
_OUTCOMES = {"ok": Outcome.OK, "not ok": Outcome.NOT_OK, "differs": Outcome.DIFFERS}
DIFFERS_NOTE = "a difference to look at, not a deviation"


def _count_text(counts, promise=None):
    text = "%d checks: %d ok, %d not ok, %d differs" % _counted(counts)
    return "%s: %s" % (promise, text) if promise else text


def _counted(counts):
    return (sum(counts.values()),) + tuple(counts[result] for result in _RESULTS)


def _check(line, promises):
    """(result, promise, situation, what) of a check line, or None."""
    match = _CHECK.fullmatch(line.text)
    if not match or match.group(2) not in promises:
        return None
    result, promise, rest = match.groups()
    situation, _, what = rest.partition(": ")
    if (result == "ok") == bool(what):
        return None  # ok never says what the platform did; the others always do
    return result, promise, situation, what


def reproducer_name(promise, situation):
    """The file a check's reproducer is written to: W2-0-above-base-4-....c"""
    return re.sub(r"[^A-Za-z0-9.-]+", "-", "%s-%s" % (promise, situation)) + ".c"


def _case(result, promise, situation, what, command, reproducing):
    name = "%s %s" % (promise, escape(situation))
    if result == "ok":
        return Case(name)
    meaning = named(promise)
    if result == "differs":
        meaning += " (%s)" % DIFFERS_NOTE
    lines = ["%s %s: %s" % (result, name, escape(what)), meaning,
             "rerun: " + command([promise, situation])]
    if reproducing:
        lines.append("reproduce: %s >%s" % (command(["--reproduce", promise, situation]),
                                            reproducer_name(promise, situation)))
    return Case(name, _OUTCOMES[result], lines)


def judge(run, ending, title, program, command):
    """The verdict on a run of the contract program `program`; command(args)
    is the command line, as the user would type it, that runs the program
    with args on the platform that ran it."""
    promises = CONTRACTS[program]
    other = Findings()     # lines that are neither a check nor a count
    counts = {None: dict.fromkeys(_RESULTS, 0)}  # promise (None: all) -> its checks' results
    said = {}              # promise (None: all) -> its count line and what it says
    last_check = None
    by_promise = {}        # promise -> its checks' cases, in the order printed
    for line in split(run.stdout):
        if None in said:
            other.add("after the count line: an extra line", line.number, line.raw)
            continue
        if line.trailing:
            other.add("the line ends in white space that %s never prints" % program,
                      line.number, line.raw)
        check = _check(line, promises)
        if check is None:
            count = _COUNT.fullmatch(line.text)
            promise = count and count.group(1)
            if count and (promise is None or promise in promises) and promise not in said:
                said[promise] = (line, tuple(int(n) for n in count.groups()[1:]))
            else:
                other.add("a line that %s never prints" % program, line.number, line.raw)
            continue
        result, promise, situation, _ = check
        counts[None][result] += 1
        counts.setdefault(promise, dict.fromkeys(_RESULTS, 0))[result] += 1
        last_check = "%s %s" % (promise, situation)
        by_promise.setdefault(promise, []).append(_case(*check, command, program in REPRODUCING))

    faults = []
    if None not in said:
        where = ("after %d checks (the last: %s)" % (_counted(counts[None])[0], escape(last_check))
                 if last_check else "before its first check")
        faults.append("ended early: " + ending.early(where, run.stdout, "without its count line"))
    else:
        # The count lines of the promises, when there are any, must be there
        # for every promise with checks, and agree with them as the last must.
        checked = set(said) | set(counts) if len(said) > 1 else {None}
        for promise in sorted(checked, key=[None, *promises].index):
            line, numbers = said.get(promise, (None, None))
            found = counts.get(promise, dict.fromkeys(_RESULTS, 0))
            if line is None:
                faults.append("ended early: it printed no count line for %s, whose lines are %s"
                              % (promise, quote(_count_text(found, promise))))
            elif numbers != _counted(found):
                faults.append("ended early: its count line %s disagrees with its lines, %s"
                              % (quote(line.text), quote(_count_text(found, promise))))
        if not faults and not ending.normal:
            faults.append(ending.after("its count line"))

    order = [promise for promise in promises if promise in by_promise]
    cases = [case for promise in order for case in by_promise[promise]]
    completion = judged("%s completed with its count line" % program, other.sentences() + faults)
    findings = []
    for promise in order:
        shown = [case for case in by_promise[promise] if case.outcome is not Outcome.OK]
        if not shown:
            continue
        note = "; %s" % DIFFERS_NOTE if counts[promise]["differs"] else ""
        findings.append("%s (%s%s)" % (named(promise), _count_text(counts[promise]), note))
        for case in shown:
            # the check's line, then its commands (its meaning heads the promise)
            findings += ["  " + case.texts[0]] + ["    " + text for text in case.texts[2:]]
    return Verdict(program, title, cases + [completion], findings + completion.texts,
                   _count_text(counts[None]))
