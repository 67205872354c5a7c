"""The verdicts as words for a terminal, as TAP, and as JUnit XML, each
written from the outcome of every case. All three show the same cases and
findings; every text from a run reached them escaped (see text.py)."""
import xml.etree.ElementTree as ET

from .text import escape
from .verdict import Outcome

_JUNIT_COUNTS = {"failure": "failures", "error": "errors", "skipped": "skipped"}


def words(verdicts):
    out = []
    for verdict in verdicts:
        outcome = verdict.outcome
        if outcome is Outcome.SKIPPED:
            out.append(verdict.reason + ".")
        elif outcome is Outcome.COULD_NOT_RUN:
            out.append("%s: could not run: %s." % (verdict.title, verdict.reason))
        else:
            summary = " (%s)" % verdict.summary if verdict.summary else ""
            out.append("%s: %s%s." % (verdict.title, outcome.word, summary))
            out += verdict.findings
    return out


def tap(verdicts):
    cases = [case for verdict in verdicts for case in verdict.cases]
    out = ["TAP version 13", "1..%d" % len(cases)]
    for number, case in enumerate(cases, 1):
        line = "%s %d - %s" % (case.outcome.tap, number, case.name)
        if case.outcome is Outcome.SKIPPED:
            out.append("%s # SKIP %s" % (line, case.texts[0]))
        else:
            out.append(line)
            out += ["  # " + text for text in case.texts]
    return out


def junit(verdicts):
    """A JUnit XML document: one test suite per program, one test case per
    scenario row (and completion) or contract check."""
    root = ET.Element("testsuites", name="ostrevin-judge")
    totals = dict.fromkeys(("tests", "failures", "errors", "skipped"), 0)
    for verdict in verdicts:
        suite = ET.SubElement(root, "testsuite", name=_xml(verdict.title),
                              time="%.3f" % verdict.elapsed)
        counts = dict.fromkeys(totals, 0)
        for case in verdict.cases:
            counts["tests"] += 1
            element = ET.SubElement(suite, "testcase", name=_xml(case.name),
                                    classname=_xml(verdict.classname))
            tag = case.outcome.junit
            if tag is None:
                continue
            child = ET.SubElement(element, tag)
            if tag in _JUNIT_COUNTS:
                counts[_JUNIT_COUNTS[tag]] += 1
                child.set("message", _xml(case.texts[0]))
            if tag != "skipped":
                child.text = _xml("\n".join(case.texts))
        for key, value in counts.items():
            suite.set(key, str(value))
            totals[key] += value
    for key, value in totals.items():
        root.set(key, str(value))
    ET.indent(root)
    return ET.tostring(root, encoding="unicode", xml_declaration=True) + "\n"


def _xml(text):
    # XML cannot carry most control characters, not even as references.
    if text.isprintable():
        return text
    return "".join(ch if ch == "\n" or ch.isprintable() else escape(ch) for ch in text)
