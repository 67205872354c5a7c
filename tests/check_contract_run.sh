#!/bin/sh
# Runs unwind-contract and checks the form of its output, whatever the
# results: exit status 0; check lines
#   ok ID SITUATION | not ok ID SITUATION: WHAT | differs ID SITUATION: WHAT
# with ID a promise of the contract and SITUATION a name without spaces;
# then a count line per promise, "ID: N checks: A ok, B not ok, C differs",
# in the order of the contract; and a last line that counts them all. Every
# count must add up.
#   check_contract_run.sh COMMAND...
set -eu
[ $# -ge 1 ] || { echo "usage: $0 COMMAND..." >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rc=0
"$@" >"$work/out" 2>"$work/err" </dev/null || rc=$?
if [ "$rc" != 0 ]; then
  echo "exit status $rc, expected 0"; cat "$work/err"; exit 1
fi
tr -d '\r' <"$work/out" | awk '
  function bad(why) { printf "line %d: %s: %s\n", NR, why, $0; failed = 1 }
  function counts(n, a, b, c) { return sprintf("%d checks: %d ok, %d not ok, %d differs", n, a, b, c) }
  BEGIN {
    split("U1 U2 U3 U4 U5 U6 W1 W2 W3 W4 W5 W6 W7 W8 E1 E2 E3 E4 E5 T1 T2 T3", order, " ")
    for (i in order) rank[order[i]] = i + 0
  }
  { last = $0 }
  /^[0-9]+ checks: / { next }
  /^[A-Z][0-9]: [0-9]+ checks: / {
    id = substr($0, 1, 2)
    if (!(id in rank)) bad("a count of an unknown promise")
    else if (rank[id] <= shown) bad("a count out of the promises order")
    else shown = rank[id]
    if (substr($0, 5) != counts(total[id], oks[id], notoks[id], differ[id])) bad("a count that does not add up")
    counted[id] = 1
    next
  }
  {
    if (shown) bad("a check line after the counts")
    if (sub(/^ok /, "")) word = "ok"
    else if (sub(/^not ok /, "")) word = "not ok"
    else if (sub(/^differs /, "")) word = "differs"
    else { bad("not a check line"); next }
    id = $1
    if (!(id in rank)) bad("unknown promise " id)
    sub(/^[^ ]+ /, "")
    if (word == "ok" && $0 ~ / /) bad("a situation with a space")
    if (word != "ok" && !index($0, ": ")) bad("no \": \" before what the platform did")
    n++; total[id]++
    if (word == "ok") { ok++; oks[id]++ }
    else if (word == "not ok") { notok++; notoks[id]++ }
    else { differs++; differ[id]++ }
  }
  END {
    for (id in total) if (!(id in counted)) { printf "no count line for %s\n", id; failed = 1 }
    want = counts(n, ok, notok, differs)
    if (last != want) { printf "last line \"%s\", expected \"%s\"\n", last, want; failed = 1 }
    if (n == 0) { print "no check lines"; failed = 1 }
    exit failed
  }'
