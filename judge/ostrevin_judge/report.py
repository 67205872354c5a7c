"""The verdicts as words for a terminal, as TAP, and as JUnit XML. All three
show the same cases and findings; every text from a run reached them
escaped (see text.py)."""
import xml.etree.ElementTree as ET

from .text import escape
from .verdict import COULD_NOT_RUN, NOT_JUDGED


def words(verdicts):
    out = []
    for verdict in verdicts:
        if verdict.state == NOT_JUDGED:
            out.append(verdict.reason + ".")
            continue
        if verdict.state == COULD_NOT_RUN:
            out.append("%s: could not run: %s." % (verdict.title, verdict.reason))
            continue
        summary = " (%s)" % verdict.summary if verdict.summary else ""
        out.append("%s: %s%s." % (verdict.title, verdict.state, summary))
        out += verdict.findings
        for case in verdict.cases:
            out += case.notes
    return out


def tap(verdicts):
    cases = [case for verdict in verdicts for case in verdict.cases]
    out = ["TAP version 13", "1..%d" % len(cases)]
    for number, case in enumerate(cases, 1):
        if case.skip:
            out.append("ok %d - %s # SKIP %s" % (number, case.name, case.skip))
            continue
        out.append("%s %d - %s" % ("ok" if case.ok else "not ok", number, case.name))
        if case.unreached:
            out.append("  # not reached")
        for text in ([case.error] if case.error else []) + case.findings + case.notes:
            out.append("  # " + text)
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
            if case.skip:
                counts["skipped"] += 1
                ET.SubElement(element, "skipped", message=_xml(case.skip))
            elif case.error:
                counts["errors"] += 1
                ET.SubElement(element, "error", message=_xml(case.error))
            elif not case.ok:
                counts["failures"] += 1
                texts = (["not reached"] if case.unreached else []) + case.findings
                failure = ET.SubElement(element, "failure", message=_xml(texts[0]))
                failure.text = _xml("\n".join(texts))
            if case.notes:
                ET.SubElement(element, "system-out").text = _xml("\n".join(case.notes))
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
