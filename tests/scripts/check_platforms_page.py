#!/usr/bin/env python3
"""check_platforms_page.py DOM RUNS NAME...: the grid of the platform matrix,
as headless Chromium shows it (DOM, dumped with --dump-dom), against the
runs that scripts/platforms kept (RUNS/NAME/saved/PROGRAM.out, each contract
program's output as it printed it): every cell of every platform NAME shows
the word and the counts ok / not ok / differs of that promise's lines in the
runs, or "-" where it has none, and a failing cell links to a part of the
page that holds exactly its not ok and differs lines. Prints each wrong cell
and exits 1 when there is one."""
import glob
import html
import os
import re
import sys

CHECK = re.compile(r"(ok|not ok|differs) ([A-Z][0-9]+) (.+)")
CELL = re.compile(r'<td id="cell-(.+?)-([A-Z][0-9]+)" class="(\w+)">(.*?)</td>', re.S)
SHOWN = re.compile(r'(?:<a href="#([^"]+)">)?(ok|not ok|differs)(?:</a>)? '
                   r'<span class="counts">(\d+) / (\d+) / (\d+)</span>$')
SECTION = re.compile(r'<h3 id="([^"]+)">.*?</h3><pre>(.*?)</pre>', re.S)
WORDS = ("ok", "not ok", "differs")


def lines_by_promise(runs, name):
    """promise -> the check lines its contract program printed."""
    found = {}
    for path in sorted(glob.glob(os.path.join(runs, name, "saved", "*-contract.out"))):
        with open(path, encoding="utf-8", errors="replace") as file:
            for line in file.read().splitlines():
                line = line.rstrip("\r")
                match = CHECK.fullmatch(line)
                if match:
                    found.setdefault(match.group(2), []).append((match.group(1), line))
    return found


def problems(dom, runs, names):
    wrong = []
    cells = {}
    for name, promise, kind, content in CELL.findall(dom):
        cells[(name, promise)] = (kind, content.strip())
    sections = {anchor: html.unescape(text) for anchor, text in SECTION.findall(dom)}
    if not cells:
        return ["the page has no cells"]
    for name in names:
        expected = lines_by_promise(runs, name)
        if not expected:
            wrong.append("%s: its runs hold no check line" % name)
        shown = {promise for (platform, promise) in cells if platform == name}
        for promise in sorted(set(expected) - shown):
            wrong.append("%s %s: checked in the runs, but no cell" % (name, promise))
        for promise in sorted(shown):
            kind, content = cells[(name, promise)]
            lines = expected.get(promise, [])
            if not lines:
                if content != "-":
                    wrong.append("%s %s: no check in the runs, the cell says %r"
                                 % (name, promise, content))
                continue
            counts = tuple(sum(1 for result, _ in lines if result == word) for word in WORDS)
            word = "not ok" if counts[1] else "differs" if counts[2] else "ok"
            match = SHOWN.fullmatch(content)
            if not match or (match.group(2), tuple(map(int, match.group(3, 4, 5)))) != (
                    word, counts):
                wrong.append("%s %s: the runs say %s %d / %d / %d, the cell %r"
                             % (name, promise, word, *counts, content))
                continue
            if kind != word.replace(" ", ""):
                wrong.append("%s %s: a %s cell drawn as %s" % (name, promise, word, kind))
            failing = [line for result, line in lines if result != "ok"]
            if failing:
                anchor = match.group(1)
                held = [line for line in sections.get(anchor, "").splitlines()
                        if not line.startswith(" ")]
                if held != failing:
                    wrong.append("%s %s: its link %s leads to %d lines, not its %d"
                                 % (name, promise, anchor, len(held), len(failing)))
            elif match.group(1):
                wrong.append("%s %s: an ok cell with a link" % (name, promise))
    return wrong


def main(argv):
    dom_path, runs, names = argv[0], argv[1], argv[2:]
    with open(dom_path, encoding="utf-8") as file:
        dom = file.read()
    wrong = problems(dom, runs, names)
    for text in wrong:
        print("wrong cell: " + text)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
