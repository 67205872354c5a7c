#!/usr/bin/env python3
"""matrix.py RUNS TABLE PAGE NAME...: writes the platform matrix from the
runs that scripts/platforms kept in RUNS/NAME for each platform NAME, in
that order: TABLE (Markdown), one row per platform and, below, what the
judge found on each; PAGE (HTML, self-contained), the grid of promises (both
contracts', in their order) by platform, each cell ok / not ok / differs
with its counts, each failing cell linked to its lines further down the
page. Both are read from what the judge wrote: its words and exit status,
and its JUnit XML, one test case per check."""
import datetime
import html
import os
import platform
import sys
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(HERE, "..", "..", "judge"))
sys.dont_write_bytecode = True
from ostrevin_judge.promises import CONTRACTS, named  # noqa: E402

RESULTS = ("ok", "not ok", "differs")


class Program:
    """A contract program's run on a platform: its state ("checked",
    "not judged", "could not run"), its counts by promise, its lines by
    promise (each with its commands) and the judge's words on its end."""

    def __init__(self, name):
        self.name = name
        self.state = "not judged"
        self.reason = ""
        self.counts = {}   # promise -> {result: count}
        self.lines = {}    # promise -> [(line, [command, ...])]
        self.ending = []   # the completion case's findings

    def total(self):
        return [sum(counts[result] for counts in self.counts.values()) for result in RESULTS]

    def cell(self):
        """Its cell in the table."""
        if self.state != "checked":
            return self.state
        text = "%d / %d / %d" % tuple(self.total())
        if any(line.startswith("ended early") for line in self.ending):
            text += "; ended early"
        elif self.ending:
            text += "; printed other lines"
        return text


class Platform:
    def __init__(self, runs, name):
        self.name = name
        folder = os.path.join(runs, name)
        def read(file, default=""):
            return _read(os.path.join(folder, file), default)

        self.title = read("title", name)
        self.note = read("note")
        self.unset = read("unset")
        self.version = read("version")
        self.time = read("time")
        self.date = read("date")
        self.transcript = read("transcript.judged").splitlines()
        self.transcript_rc = read("transcript.rc", "2")
        self.contract_words = read("contract.judged").splitlines()
        # What tests/check_reproducers.py row said of the findings'
        # reproducers (--reproducers, Wine rows): a first line of counts, the
        # sample, then each reproducer that disagrees with its check.
        self.reproducers = read("reproducers").splitlines()
        self.reproducers_time = read("reproducers.time")
        self.programs = {program: Program(program) for program in CONTRACTS}
        if not self.unset:
            _read_junit(os.path.join(folder, "contract.xml"), self.programs)

    def verdict(self):
        """ostrevin's cell: the judge's verdict on its transcript."""
        if self.unset:
            return "not set up: " + self.unset
        findings = len(self.transcript) - 1
        return {"0": "conforms", "1": "deviates (%d finding%s)" % (
            findings, "" if findings == 1 else "s")}.get(self.transcript_rc, "could not run")

    def reproduced(self):
        """Its cell of reproducers: how many agree, and their time."""
        if self.unset or not self.reproducers:
            return ""
        words = self.reproducers[0]
        words = words[len("reproducers: "):] if words.startswith("reproducers: ") else words
        return "%s (%s)" % (words, self.reproducers_time) if self.reproducers_time else words

    def findings(self):
        """What the judge said beyond each verdict's first line."""
        lines = self.transcript[1:] if self.transcript_rc != "2" else self.transcript
        return lines + ["contract: " + line for line in self.contract_words
                        if not _title(line)]


def _title(line):
    """Whether a line of the judge's words is a program's verdict or note."""
    return line.startswith(tuple("%s " % program for program in CONTRACTS))


def _local(text):
    """text with this checkout's paths relative to it and the home folder as
    ~, so that the table reads the same on every machine."""
    return text.replace(CHECKOUT + os.sep, "").replace(os.path.expanduser("~") + os.sep, "~/")


def _read(path, default=""):
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return _local(file.read().strip())
    except OSError:
        return default


def _read_junit(path, programs):
    """The contract programs' cases, from the judge's JUnit XML."""
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        for program in programs.values():
            program.state = "could not run"
        return
    for case in root.iter("testcase"):
        program = programs.get(case.get("classname", "").split(".")[0])
        if program is None:
            continue
        name = case.get("name")
        promise = name.split(" ", 1)[0]
        failure, error = case.find("failure"), case.find("error")
        if case.find("skipped") is not None:
            program.reason = case.find("skipped").get("message", "")
            if " not found beside " in program.reason:
                program.state = "not built"
        elif error is not None:
            program.state, program.reason = "could not run", error.get("message", "")
        elif name == "%s completed with its count line" % program.name:
            program.state = "checked"
            if failure is not None:
                program.ending = (failure.text or "").splitlines()
        elif promise in CONTRACTS[program.name]:
            program.state = "checked"
            shown = failure if failure is not None else case.find("system-out")
            result = ("ok" if shown is None else
                      "not ok" if failure is not None else "differs")
            counts = program.counts.setdefault(promise, dict.fromkeys(RESULTS, 0))
            counts[result] += 1
            if shown is not None:
                texts = _local(shown.text or "").splitlines()
                program.lines.setdefault(promise, []).append(
                    (texts[0], [text for text in texts[1:] if text.startswith(
                        ("rerun: ", "reproduce: "))]))


def host():
    try:
        with open("/etc/os-release", encoding="utf-8") as file:
            fields = dict(line.rstrip("\n").split("=", 1) for line in file if "=" in line)
        system = fields.get("PRETTY_NAME", "").strip('"')
    except OSError:
        system = platform.system()
    return "%s, %s" % (platform.machine(), system)


def table(platforms, today, page, picture):
    reproduced = any(each.reproduced() for each in platforms)
    names = ", ".join("`%s`" % program for program in CONTRACTS)
    about = ("Written by `scripts/platforms` on %s, from running `ostrevin` and the contract"
             " programs (%s) on each platform: the verdict of `ostrevin-judge`, the contract"
             " checks that passed / failed / differ from the reference, and the time the runs"
             " took (set-up not counted). The host: %s. The same runs promise by promise:"
             " [the grid](%s), pictured in [%s](%s)." % (today, names, host(), page, picture,
                                                          picture))
    if reproduced:
        about += (" The last column: of each check that a Wine row's contract programs printed"
                  " as not ok (all) or differs (a sample of each promise), how many"
                  " reproducers, built with mingw and run on that platform, print the check's"
                  " verdict and exit with its status (`scripts/platforms --reproducers`), and"
                  " how long they took.")
    out = ["# Platforms", ""] + _fold(about, 78) + ["",
           "| platform | version | ostrevin | %s | time |%s" % (" | ".join(
               "%s ok / not ok / differs" % program for program in CONTRACTS),
               " reproducers of the findings |" if reproduced else ""),
           "|---|---|---|%s---|%s" % ("---|" * len(CONTRACTS), "---|" if reproduced else "")]
    for each in platforms:
        cells = ([""] * len(CONTRACTS) if each.unset else
                 [program.cell() for program in each.programs.values()])
        out.append("| %s |" % " | ".join([each.title, each.version, each.verdict()] + cells
                                         + [each.time] + ([each.reproduced()] if reproduced
                                                          else [])))
    for each in platforms:
        findings = [] if each.unset else each.findings()
        reproducers = [] if each.unset else each.reproducers
        if not findings and not each.note and not reproducers:
            continue
        out += ["", "## " + each.title]
        if each.note:
            out += [""] + _fold(each.note, 78)
        if findings:
            out += [""] + ["    " + line for line in findings]
        if reproducers:
            out += ["", "Each finding by its reproducer (built with mingw, run on the"
                    " platform):", ""] + ["    " + line for line in reproducers]
    return "\n".join(out) + "\n"


def _fold(text, width):
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = "%s %s" % (line, word) if line else word
    return lines + ([line] if line else [])


STYLE = """
body { font: 13px/1.35 "DejaVu Sans", sans-serif; margin: 12px; color: #222; background: #fff; }
h1 { font-size: 18px; margin: 0 0 4px; }
p.about { margin: 0 0 10px; max-width: 70em; }
table.grid { border-collapse: collapse; }
table.grid th, table.grid td { border: 1px solid #bbb; padding: 2px 6px; white-space: nowrap; }
table.grid thead th { vertical-align: bottom; text-align: left; font-weight: normal;
  max-width: 11em; white-space: normal; }
table.grid thead th b { display: block; }
th.promise { text-align: left; font-weight: bold; }
th.promise span { font-weight: normal; color: #555; }
tr.program th { background: #e8e8e8; text-align: left; }
td.ok { background: #d8f0d8; }
td.notok { background: #f6c9c4; font-weight: bold; }
td.differs { background: #f8e7b0; }
td.none { color: #888; }
td.verdict { font-style: italic; }
td a { color: inherit; }
.counts { font-weight: normal; color: #444; font-size: 11px; }
section.lines { margin-top: 32px; }
section.lines h3 { font-size: 14px; margin: 16px 0 4px; }
table.grid thead th { min-width: 8em; }
section.lines pre { margin: 0 0 0 1em; white-space: pre-wrap; font-size: 12px; }
"""

# The grid's size, for the picture: Chromium shows the page in a window of
# the grid's size.
MEASURE = """
var grid = document.getElementById("grid").getBoundingClientRect();
document.body.setAttribute("data-grid-size", Math.ceil(grid.right + 12) + "," +
                           Math.ceil(grid.bottom + 8));
"""


def _cell_class(counts):
    if counts is None:
        return "none"
    if counts["not ok"]:
        return "notok"
    return "differs" if counts["differs"] else "ok"


def _anchor(each, promise):
    return "%s-%s" % (each.name, promise)


def page(platforms, today):
    e = html.escape
    out = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
           "<title>ostrevin: platforms by promise</title>", "<style>%s</style>" % STYLE,
           "</head><body>", "<h1>Platforms by promise</h1>",
           '<p class="about">Written by <code>scripts/platforms</code> on %s (host: %s) from the'
           " judge's verdicts on each platform: each cell is the result of the promise's"
           " checks there, <i>ok</i>, <i>not ok</i> (a deviation) or <i>differs</i> (reference"
           " behaviour the platform does otherwise), with its counts ok / not ok / differs;"
           " a failing cell links to its lines below.</p>" % (e(today), e(host())),
           '<table class="grid" id="grid"><thead><tr><th>promise</th>']
    for each in platforms:
        out.append('<th id="platform-%s"><b>%s</b>%s</th>' % (
            e(each.name), e(each.title), e(each.version or ("not set up: " + each.unset))))
    out.append("</tr></thead><tbody>")
    out.append('<tr><th class="promise">ostrevin</th>%s</tr>' % "".join(
        '<td class="verdict">%s</td>' % e(each.verdict()) for each in platforms))
    if any(each.reproduced() for each in platforms):
        out.append('<tr><th class="promise">reproducers</th>%s</tr>' % "".join(
            '<td class="verdict">%s</td>' % e(each.reproduced()) for each in platforms))
    for program in CONTRACTS:
        out.append('<tr class="program"><th>%s</th>%s</tr>' % (e(program), "".join(
            '<th>%s</th>' % e("" if each.unset else each.programs[program].cell())
            for each in platforms)))
        for promise, meaning in CONTRACTS[program].items():
            row = ['<tr><th class="promise" title="%s">%s</th>' % (
                e(named(promise)), e(promise))]
            for each in platforms:
                counts = None if each.unset else each.programs[program].counts.get(promise)
                kind = _cell_class(counts)
                cell = '<td id="cell-%s" class="%s">' % (e(_anchor(each, promise)), kind)
                if counts is None:
                    row.append(cell + "-</td>")
                    continue
                word = {"ok": "ok", "notok": "not ok", "differs": "differs"}[kind]
                if kind != "ok":
                    word = '<a href="#%s">%s</a>' % (e(_anchor(each, promise)), word)
                row.append('%s%s <span class="counts">%d / %d / %d</span></td>' % (
                    cell, word, *(counts[result] for result in RESULTS)))
            out.append("".join(row) + "</tr>")
    out.append("</tbody></table>")
    out.append('<section class="lines"><h2>The lines of each failing cell</h2>')
    for each in platforms:
        for program in CONTRACTS:
            for promise, lines in (() if each.unset else each.programs[program].lines.items()):
                out.append('<h3 id="%s">%s on %s</h3><pre>%s</pre>' % (
                    e(_anchor(each, promise)), e(named(promise)), e(each.title),
                    e("\n".join(line + "".join("\n    " + command for command in commands)
                                for line, commands in lines))))
    out.append("</section><script>%s</script></body></html>" % MEASURE)
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) < 4:
        sys.stderr.write("usage: matrix.py RUNS TABLE PAGE NAME...\n")
        return 2
    runs, table_path, page_path, names = argv[0], argv[1], argv[2], argv[3:]
    platforms = [Platform(runs, name) for name in names]
    # The day of the newest runs.
    today = max([each.date for each in platforms if each.date] or [
        datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")])
    picture = os.path.splitext(os.path.basename(page_path))[0] + ".png"
    try:
        with open(table_path, "w", encoding="utf-8") as file:
            file.write(table(platforms, today, os.path.basename(page_path), picture))
        with open(page_path, "w", encoding="utf-8") as file:
            file.write(page(platforms, today))
    except OSError as error:
        sys.stderr.write("matrix.py: cannot write %s: %s\n" % (error.filename, error.strerror))
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
