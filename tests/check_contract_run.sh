#!/bin/sh
# Runs unwind-contract and checks the form of its output, whatever the
# results: exit status 0, every line one of
#   ok ID DESCRIPTION | not ok ID DESCRIPTION: WHAT | differs ID DESCRIPTION: WHAT
# with ID a promise of the contract and DESCRIPTION free of ": ", and a last
# line that counts them right.
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
  { last = $0 }
  /^[0-9]+ checks: / { next }
  {
    n++
    if (sub(/^ok /, "")) { word = "ok"; ok++ }
    else if (sub(/^not ok /, "")) { word = "not ok"; notok++ }
    else if (sub(/^differs /, "")) { word = "differs"; differs++ }
    else { bad("not a check line"); next }
    id = $1
    if (id !~ /^(U[1-6]|W[1-7]|E[1-4]|T[12])$/) bad("unknown promise " id)
    sub(/^[^ ]+ /, "")
    if (word == "ok" && index($0, ": ")) bad("a description with \": \"")
    if (word != "ok" && !index($0, ": ")) bad("no \": \" before what the platform did")
  }
  END {
    want = sprintf("%d checks: %d ok, %d not ok, %d differs", n, ok, notok, differs)
    if (last != want) { printf "last line \"%s\", expected \"%s\"\n", last, want; failed = 1 }
    if (n == 0) { print "no check lines"; failed = 1 }
    exit failed
  }'
