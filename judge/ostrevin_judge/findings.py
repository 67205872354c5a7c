"""Findings of one scenario or program, grouped: the same finding about the
same text, seen on many lines, is reported once with its count and the first
lines it was seen on, and a scenario shows at most a bounded number of
distinct findings, so that a verdict stays readable however much a run
prints."""
from .text import quote

# Distinct findings shown per group; the rest are counted in one line.
MAX_SHOWN = 12
# Line numbers quoted for a finding seen on many lines.
MAX_LINES = 5


class Findings:
    def __init__(self):
        self._groups = {}  # (why, text) -> line numbers, in first-seen order

    def add(self, why, line=None, text=None):
        self._groups.setdefault((why, text), []).append(line)

    def sentences(self):
        shown = []
        hidden = 0
        for count, ((why, text), numbers) in enumerate(self._groups.items()):
            if count >= MAX_SHOWN:
                hidden += len(numbers)
                continue
            shown.append(why + _where(numbers, text))
        if hidden:
            shown.append("and %d more line%s like these, not shown"
                         % (hidden, "" if hidden == 1 else "s"))
        return shown


def _where(numbers, text):
    if numbers == [None]:
        return ""
    quoted = ": " + quote(text) if text is not None else ""
    if len(numbers) == 1:
        return " (line %d%s)" % (numbers[0], quoted)
    first = ", ".join(str(n) for n in numbers[:MAX_LINES])
    more = ", ..." if len(numbers) > MAX_LINES else ""
    return " (%d times, lines %s%s%s)" % (len(numbers), first, more, quoted)
