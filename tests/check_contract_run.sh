#!/bin/sh
# Runs a contract program and checks the form of its output, whatever the
# results: exit status 0; check lines
#   ok ID SITUATION | not ok ID SITUATION: WHAT | differs ID SITUATION: WHAT
# with ID a promise of the table (common/promises.def) and SITUATION a name
# without spaces; then a count line per promise that has checks, "ID: N
# checks: A ok, B not ok, C differs", in the table's order; and a last line
# that counts them all. Every count must add up. With --conforming, every
# check must be ok, but one that differs for the emulator's deviation (a
# processor that cannot try its promise: its situation has that line
# alone), and --list must name the run's checks in the same order, those
# situations' others left out.
#   check_contract_run.sh [--conforming] PROMISES_DEF COMMAND...
set -eu
conforming=no
[ "${1-}" = --conforming ] && { conforming=yes; shift; }
[ $# -ge 2 ] || { echo "usage: $0 [--conforming] PROMISES_DEF COMMAND..." >&2; exit 2; }
def=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rc=0
"$@" >"$work/out" 2>"$work/err" </dev/null || rc=$?
if [ "$rc" != 0 ]; then
  echo "exit status $rc, expected 0"; cat "$work/err"; exit 1
fi
order=$(sed -n 's/^PROMISE(\([A-Z][0-9]*\),.*/\1/p' "$def" | tr '\n' ' ')
tr -d '\r' <"$work/out" | awk -v order="$order" -v conforming="$conforming" '
  function bad(why) { printf "line %d: %s: %s\n", NR, why, $0; failed = 1 }
  function counts(n, a, b, c) { return sprintf("%d checks: %d ok, %d not ok, %d differs", n, a, b, c) }
  BEGIN {
    split(order, ids, " ")
    for (i in ids) rank[ids[i]] = i + 0
  }
  { last = $0 }
  /^[0-9]+ checks: / { next }
  /^[A-Z][0-9]+: [0-9]+ checks: / {
    id = substr($0, 1, index($0, ":") - 1)
    if (!(id in rank)) bad("a count of an unknown promise")
    else if (rank[id] <= shown) bad("a count out of the promises order")
    else shown = rank[id]
    if (substr($0, length(id) + 3) != counts(total[id], oks[id], notoks[id], differ[id])) bad("a count that does not add up")
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
    if (word != "ok" && conforming == "yes" &&
        !(word == "differs" && $0 ~ /\(the emulator.s deviation\)$/))
      bad("a check that is not ok on a conforming platform")
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
[ "$conforming" = yes ] || exit 0
# --list names exactly the checks of the run, in the same order; of a
# situation that the emulator kept from being tried, only its line.
"$@" --list </dev/null | tr -d '\r' >"$work/listed"
emulated="(the emulator's deviation)\$"
tr -d '\r' <"$work/out" |
  sed -n -e 's/^ok \([A-Z][0-9]* [^ ]*\)$/\1/p' \
    -e "s/^differs \\([A-Z][0-9]* [^ ]*\\): .*$emulated/\\1/p" >"$work/checks"
tr -d '\r' <"$work/out" | sed -n "s/^differs \\([A-Z][0-9]* [^ ]*\\): .*$emulated/\\1/p" >"$work/alone"
awk 'FILENAME == ARGV[1] { alone[$2] = 1; kept[$0] = 1; next }
  !($2 in alone) || ($0 in kept)' "$work/alone" "$work/listed" >"$work/list"
if ! cmp -s "$work/checks" "$work/list"; then
  echo "--list differs from the checks of the run:"
  diff "$work/checks" "$work/list" | head -20
  exit 1
fi
