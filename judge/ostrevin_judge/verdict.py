"""The verdict on one program of the suite, as every report shows it: a state,
and test cases (a scenario row, a contract check, completion), each passing,
failing with findings, or skipped with a reason."""

CONFORMS = "conforms"
DEVIATES = "deviates"
COULD_NOT_RUN = "could not run"
NOT_JUDGED = "not judged"

class Case:
    def __init__(self, name):
        self.name = name
        self.findings = []   # what is wrong, one sentence each
        self.notes = []      # shown, but not a failure (a contract check that differs)
        self.unreached = False  # the run ended before it got there
        self.skip = None     # why the case was not judged (not a failure)
        self.error = None    # why it could not run at all

    @property
    def ok(self):
        return not self.findings and not self.unreached and self.error is None


class Verdict:
    def __init__(self, program, title):
        self.program = program   # "ostrevin", "unwind-contract"
        self.title = title       # "ostrevin on linux-i386 (build/.../ostrevin)"
        self.classname = program  # JUnit's class of its cases: "ostrevin.linux-i386"
        self.state = CONFORMS
        self.reason = ""         # for could not run and not judged
        self.summary = ""        # one line after the state, e.g. the contract's counts
        self.cases = []
        self.findings = []       # in the order a reader should see them
        self.elapsed = 0.0


def exit_status(verdicts):
    """0 conforms, 1 deviates, 2 could not run. A deviation is proven even
    when another program could not run, so it wins."""
    states = {verdict.state for verdict in verdicts}
    if DEVIATES in states:
        return 1
    if COULD_NOT_RUN in states:
        return 2
    return 0


def could_not_run(program, title, reason):
    verdict = Verdict(program, title)
    verdict.state = COULD_NOT_RUN
    verdict.reason = reason
    case = Case("%s ran" % program)
    case.error = reason
    verdict.cases.append(case)
    return verdict


def not_judged(program, title, reason):
    verdict = Verdict(program, title)
    verdict.state = NOT_JUDGED
    verdict.reason = reason
    case = Case(program)
    case.skip = reason
    verdict.cases.append(case)
    return verdict
