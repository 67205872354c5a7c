"""The verdict on one program of the suite, as every report shows it: test
cases (a scenario row, a contract check, completion), each with one outcome
and the texts shown under it, and the findings in the order a reader should
see them."""
import enum


class Outcome(enum.Enum):
    """What became of a case, and so of a verdict (the worst of its cases).
    Each carries its words: (rank, the verdict's word, TAP's result, the
    JUnit element under the test case)."""
    SKIPPED = (0, "not judged", "ok", "skipped")
    OK = (1, "conforms", "ok", None)
    DIFFERS = (2, "conforms", "ok", "system-out")
    NOT_OK = (3, "deviates", "not ok", "failure")
    COULD_NOT_RUN = (4, "could not run", "not ok", "error")

    def __init__(self, rank, word, tap, junit):
        self.rank = rank
        self.word = word
        self.tap = tap
        self.junit = junit


class Case:
    def __init__(self, name, outcome=Outcome.OK, texts=()):
        self.name = name
        self.outcome = outcome
        self.texts = list(texts)  # shown under it: findings, a note, why it was skipped


def judged(name, texts):
    """A case that passes unless something was found."""
    return Case(name, Outcome.NOT_OK if texts else Outcome.OK, texts)


class Verdict:
    def __init__(self, program, title, cases, findings=(), summary=""):
        self.program = program   # "ostrevin", "unwind-contract"
        self.title = title       # "ostrevin on linux-i386 (build/.../ostrevin)"
        self.classname = program  # JUnit's class of its cases: "ostrevin.linux-i386"
        self.cases = cases
        self.findings = list(findings)  # in the order a reader should see them
        self.summary = summary   # shown after the outcome, e.g. the contract's counts
        self.elapsed = 0.0

    @property
    def outcome(self):
        return max((case.outcome for case in self.cases), key=lambda outcome: outcome.rank)

    @property
    def reason(self):
        """Why a verdict that could not run, or was not judged, is so."""
        return self.cases[0].texts[0]


def exit_status(verdicts):
    """0 conforms, 1 deviates, 2 could not run. A deviation is proven even
    when another program could not run, so it wins."""
    outcomes = {verdict.outcome for verdict in verdicts}
    if Outcome.NOT_OK in outcomes:
        return 1
    return 2 if Outcome.COULD_NOT_RUN in outcomes else 0


def could_not_run(program, title, reason):
    return Verdict(program, title, [Case("%s ran" % program, Outcome.COULD_NOT_RUN, [reason])])


def not_judged(program, reason):
    return Verdict(program, "", [Case(program, Outcome.SKIPPED, [reason])])
