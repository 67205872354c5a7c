"""The verdict on ostrevin's transcript.

The run's lines are aligned to the nine expected lines with a longest common
subsequence, as diff does; labels and the last line weigh more than the
lines of a scenario's body, so that the scenarios are found first and each
line is judged in the scenario it falls in. Every line that the alignment
leaves over was added, every expected line it leaves over is missing; a
label or the last line that is both is reported once, as out of place.

Only run lines equal to an expected line can take part in the alignment, so
the table has one row per such line and ten columns: linear in the run.
"""
from .findings import Findings
from .text import quote, split
from .verdict import Verdict, judged

LABELS = ["test 1", "test 2 (should complain of a mismatch)", "test 3", "test 4", "test 5"]
FINAL = "Tests complete."
MISMATCH = "exception frame mismatch on callback return."
SHOULD_GET_HERE = "should get here."
SHOULD_NEVER = "should never get here."
CLEAN_NON_UNWIND = "clean unwind handler called on non-unwind."
DIRTY_NON_UNWIND = "dirty unwind handler called on non-unwind."
DIRTY_UNWOUND = "dirty frame was unwound."

ROWS = len(LABELS)
COMPLETION = ROWS + 1  # the row of "Tests complete." and of what follows it

# (row, text) of each expected line.
EXPECTED = [(1, LABELS[0]), (2, LABELS[1]), (2, MISMATCH), (3, LABELS[2]), (4, LABELS[3]),
            (5, LABELS[4]), (5, SHOULD_GET_HERE), (5, SHOULD_GET_HERE), (COMPLETION, FINAL)]
_STRUCTURAL = set(LABELS) | {FINAL}
_WEIGHT = [10 if text in _STRUCTURAL else 1 for _, text in EXPECTED]


def align(texts):
    """Pairs (run index, expected index) of a heaviest common subsequence.
    Among equal alignments the earliest run lines are matched, so that of
    repeated lines the later ones are the added ones."""
    expected = [text for _, text in EXPECTED]
    wanted = set(expected)
    candidates = [i for i, text in enumerate(texts) if text in wanted]
    m = len(expected)
    # best[c][j]: the heaviest alignment of candidates[c:] with expected[j:].
    best = [bytearray(m + 1) for _ in range(len(candidates) + 1)]
    for c in range(len(candidates) - 1, -1, -1):
        text, row, below = texts[candidates[c]], best[c], best[c + 1]
        for j in range(m - 1, -1, -1):
            value = max(below[j], row[j + 1])
            if text == expected[j]:
                value = max(value, below[j + 1] + _WEIGHT[j])
            row[j] = value
    pairs = []
    c = j = 0
    while c < len(candidates) and j < m:
        text = texts[candidates[c]]
        if text == expected[j] and best[c][j] == best[c + 1][j + 1] + _WEIGHT[j]:
            pairs.append((candidates[c], j))
            c += 1
            j += 1
        elif best[c + 1][j] >= best[c][j + 1]:
            c += 1
        else:
            j += 1
    return pairs


def _place(row):
    if row == 0:
        return "before test 1"
    if row == COMPLETION:
        return "after %s" % quote(FINAL)
    return "inside test %d" % row


def _in(row):
    """The start of a finding about a line in this row."""
    return ("test %d" % row if 0 < row < COMPLETION else _place(row)) + ": "


# What a line that a conforming platform does not print says about the
# unwinder, by the scenario it falls in (None: any other), with the promises
# of RtlUnwind (their numbers, as in the contract program's verdict) that
# it shows broken.
ADDED = {
    MISMATCH: {
        1: ("the chain head at FS:0 changed while a scenario touched nothing", "T1"),
        2: ("the harness reported its dangling record more than once", "T1"),
        3: ("after a forced unwind with nothing to unwind, the target record was not left at"
            " the head", "U1"),
        4: ("after the forced unwind the harness record was not at the head: the unwound"
            " record was left on the chain, or the target itself was removed", "U1, W7"),
        None: ("after the scenario put the harness record back, it was not at the head: the"
               " unwinds corrupted the chain", "W5")},
    SHOULD_NEVER: {
        5: ("the outer unwind came back into invoke_dirty_unwind instead of being abandoned"
            " for the nested unwind", "W5"),
        None: ("RtlUnwind did not return to the caller of the unwind at its return address"
               " with its frame pointer, so the unwind came back into the scenario", "E1")},
    CLEAN_NON_UNWIND: {
        4: ("the unwind handler was called without EXCEPTION_UNWINDING", "U6"),
        None: ("the unwind handler was called without EXCEPTION_UNWINDING, outside test 4",
               "U6")},
    DIRTY_NON_UNWIND: {
        None: ("an unwind handler was called without EXCEPTION_UNWINDING", "U6")},
    DIRTY_UNWOUND: {
        None: ("a nested unwind from a handler did not stop at its own target: the second"
               " record was removed", "W5, U1")},
    SHOULD_GET_HERE: {
        None: ("a nested unwind resumed in the scenario more often than the scenario started"
               " one", "W5")},
}
NEVER_PRINTED = ("a line that ostrevin never prints: something else writes to its standard"
                 " output")


def _added_why(row, text):
    by_row = ADDED.get(text)
    if by_row is None:
        return NEVER_PRINTED
    why, promises = by_row.get(row, by_row[None])
    return "%s (promise %s)" % (why, promises)


class _Row:
    def __init__(self):
        self.findings = Findings()
        self.texts = []  # the run's lines that fell in this row


def judge(run, ending, title):
    """The verdict on a run of ostrevin whose end is `ending`."""
    run_lines = split(run.stdout)
    texts = [line.text for line in run_lines]
    pairs = align(texts)
    matched_run = {i: j for i, j in pairs}
    matched_expected = {j for _, j in pairs}
    rows = [_Row() for _ in range(COMPLETION + 1)]

    # The row of each run line: that of the last expected line matched at or
    # before it.
    row = 0
    out_of_place = {}  # text of an added label or last line -> its run lines
    for i, line in enumerate(run_lines):
        if i in matched_run:
            row = EXPECTED[matched_run[i]][0]
            if line.trailing:
                rows[row].findings.add(_in(row) + "the line ends in white space that ostrevin"
                                       " never prints", line.number, line.raw)
            continue
        rows[row].texts.append(line.text)
        if line.text in _STRUCTURAL and row != COMPLETION:
            out_of_place.setdefault(line.text, []).append((row, line))
        elif row == COMPLETION:
            rows[row].findings.add(_in(row) + "an extra line", line.number, line.raw)
        elif row == 0:
            rows[0].findings.add("a line before the first label", line.number, line.raw)
        else:
            rows[row].findings.add(_in(row) + _added_why(row, line.text), line.number, line.raw)
    last_row = row
    complete = len(EXPECTED) - 1 in matched_expected

    for text, places in out_of_place.items():
        for where, line in places:
            if text == FINAL:
                rows[COMPLETION].findings.add("%s is out of place, %s" % (quote(FINAL),
                                              _place(where)), line.number, line.raw)
            else:
                label = LABELS.index(text) + 1
                rows[where].findings.add("the label of test %d is out of place, %s"
                                         % (label, _place(where)), line.number, line.raw)

    # What the run printed at the end, or why it ended early.
    fault = None
    if complete:
        if not ending.normal:
            fault = ending.after(quote(FINAL))
    elif not (ending.normal and FINAL in out_of_place):
        where = "during test %d" % last_row if last_row else "before test 1"
        fault = ending.early(where, run_lines, "before " + quote(FINAL))
    ended_in = last_row if fault and not complete else None

    # Expected lines that are missing, in rows the run went through. Those of
    # the row in which the run ended belong to its end.
    reached = COMPLETION if complete or ended_in is None else last_row
    missing = {}
    for j, (where, text) in enumerate(EXPECTED):
        if j in matched_expected or where > reached or where == ended_in or where == COMPLETION:
            continue
        missing.setdefault(where, []).append(text)
    for where, texts_missing in missing.items():
        _report_missing(rows[where], where, texts_missing, out_of_place)

    cases = []
    for r in range(1, ROWS + 1):
        texts = ["not reached"] if r > reached else []
        if r == 1:
            texts += rows[0].findings.sentences()
        texts += rows[r].findings.sentences()
        if ended_in is not None and r == max(ended_in, 1):
            texts.append(fault)
        cases.append(judged(LABELS[r - 1], texts))
    faults = [fault] if fault else []
    cases.append(judged("run completed with %s" % quote(FINAL),
                        rows[COMPLETION].findings.sentences() + faults))
    findings = [text for row in rows for text in row.findings.sentences()]
    return Verdict("ostrevin", title, cases, findings + faults)


def _report_missing(row, where, texts, out_of_place):
    for text in texts:
        if text in LABELS:
            if text not in out_of_place:
                row.findings.add("test %d: its label %s is missing" % (where, quote(text)))
        elif where == 2:
            row.findings.add("test 2: the harness did not report its dangling record: a value"
                             " written to the chain head at FS:0 was not read back"
                             " (promise T1)")
    if where == 5 and SHOULD_GET_HERE in texts:
        count = texts.count(SHOULD_GET_HERE)
        passes = "on either pass" if count == 2 else "on one of the two passes"
        if DIRTY_NON_UNWIND in row.texts:
            row.findings.add("test 5: control did not come back to the scenario %s: the"
                             " handler, called without EXCEPTION_UNWINDING, started no nested"
                             " unwind (promise U6)" % passes)
        else:
            row.findings.add("test 5: a nested unwind started from a handler did not resume in"
                             " the scenario %s (promise W5)" % passes)
