#!/usr/bin/env python3
"""The README's table of the layer's exit statuses says what the one table
of statuses (common/statuses.def) says: a row per status, with its exit
status (the low byte) and its name, and a row for each exit status of the
layer's own.

    check_statuses_table.py STATUSES_DEF README"""
import re
import sys

ENTRY = re.compile(r'^(STATUS|LAYER_EXIT)\((\w+), (0x[0-9A-Fa-f]+|\d+), ([A-Z][0-9]), "')


def table_rows(readme):
    """The rows of the table under "### The layer's exit statuses", as
    (exit status, name)."""
    rows, inside = [], False
    for line in readme.splitlines():
        if line.startswith("### "):
            inside = line.strip() == "### The layer's exit statuses"
            continue
        match = re.match(r"\| (0x[0-9A-F]{2} \((\d+)\)|(\d+)) \| (`(\w+)`|-) \|", line)
        if inside and match:
            status = int(match.group(2) or match.group(3))
            rows.append((status, match.group(5) or "-"))
    return rows


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    wanted = []
    for line in open(argv[0]):
        match = ENTRY.match(line)
        if match:
            kind, name, value = match.group(1), match.group(2), int(match.group(3), 0)
            wanted.append((value & 0xFF, name) if kind == "STATUS" else (value, "-"))
    rows = table_rows(open(argv[1]).read())
    problems = 0
    for row in wanted:
        if row not in rows:
            print("the README's table lacks exit status %d (%s)" % row)
            problems += 1
    for row in rows:
        if row not in wanted:
            print("the README's table has exit status %d (%s), which %s does not" % (row + (argv[0],)))
            problems += 1
    if not wanted:
        print("%s holds no statuses" % argv[0])
        problems += 1
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
