#!/usr/bin/env python3
"""The README's table of promises says what the one table of promises
(common/promises.def) says: a row per promise, in its order, with how it is
judged, its source and what it promises.

    check_promises_table.py PROMISES_DEF README"""
import re
import sys

ENTRY = re.compile(r'^PROMISE\((\w+), (\w), (documented|one_source|open), "(.*?)", "(.*)"\)$')
JUDGED = {"documented": "not ok", "one_source": "differs", "open": "never"}


def table_rows(readme):
    """The rows of the table under "### The promises"."""
    rows, inside = [], False
    for line in readme.splitlines():
        if line.startswith("#"):
            inside = line.strip() == "### The promises"
            continue
        match = re.match(r"\| ([A-Z][0-9]+) \| ([^|]+) \| ([^|]+) \| (.+) \|$", line)
        if inside and match:
            rows.append(tuple(field.strip() for field in match.groups()))
    return rows


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    wanted = []
    for line in open(argv[0]):
        match = ENTRY.match(line.strip())
        if match:
            promise, _, judged, source, what = match.groups()
            wanted.append((promise, JUDGED[judged], source, what))
    rows = table_rows(open(argv[1]).read())
    if not wanted:
        print("%s holds no promises" % argv[0])
        return 1
    if rows == wanted:
        return 0
    for row in wanted:
        if row not in rows:
            print("the README's table lacks or words otherwise: %s" % " | ".join(row))
    for row in rows:
        if row not in wanted:
            print("the README's table has a row that %s does not: %s" % (argv[0], " | ".join(row)))
    if sorted(rows) == sorted(wanted):
        print("the README's table has the promises out of the order of %s" % argv[0])
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
