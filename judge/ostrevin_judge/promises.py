"""The promises that the contract programs check, from their one table,
common/promises.def (the programs' enumeration is built from it too): each
with its meaning in one line, as the judge names them in a verdict; and the
contract programs, in the order they run, each with the promises it
checks. Promises that the sources leave open are checked by no program."""
import os
import re

# promises.def in this package once built or installed, else the checkout's.
_TABLES = (os.path.join(os.path.dirname(__file__), "promises.def"),
           os.path.join(os.path.dirname(__file__), "..", "..", "common", "promises.def"))
_FAMILY = re.compile(r'FAMILY\(([A-Z]), (\w+), "(.*)"\)$')
_PROMISE = re.compile(r'PROMISE\(([A-Z][0-9]+), ([A-Z]), (documented|one_source|open), "(.*?)",'
                      r' "(.*)"\)$')


def _read():
    for path in _TABLES:
        try:
            with open(path, encoding="utf-8") as file:
                return file.read()
        except OSError:
            continue
    raise ImportError("the table of promises is missing: no %s" % os.path.normpath(_TABLES[0]))


def _contracts(text):
    """contract program -> {promise: meaning}, and promise -> how it is
    judged, in the table's order."""
    families, contracts, judged = {}, {}, {}
    for line in text.splitlines():
        family = _FAMILY.match(line.strip())
        promise = _PROMISE.match(line.strip())
        if family:
            families[family.group(1)] = "%s-contract" % family.group(2)
        elif promise:
            name, letter, judgement, _, meaning = promise.groups()
            judged[name] = judgement
            if judgement != "open":
                contracts.setdefault(families[letter], {})[name] = meaning
    return contracts, judged


# Each contract program found beside ostrevin is run, in this order.
CONTRACTS, JUDGED = _contracts(_read())
PROMISES = {promise: meaning for table in CONTRACTS.values()
            for promise, meaning in table.items()}


def named(promise):
    """'W3: a non-null target ...', or the bare name of an unknown promise;
    one that only one source states says so."""
    meaning = PROMISES.get(promise)
    if not meaning:
        return promise
    one_source = " (reference behaviour only)" if JUDGED[promise] == "one_source" else ""
    return "%s: %s%s" % (promise, meaning, one_source)
