#!/bin/sh
# Runs the checks named by CHECKS (a file of "PROMISE SITUATION" lines) in
# one process through COMMAND (a memory checker, say): each must print its
# "ok" line, in the file's order, the total must count them all ok, and the
# exit status must be 0.
#   check_contract_checks.sh CHECKS COMMAND...
set -u
[ $# -ge 2 ] || { echo "usage: $0 CHECKS COMMAND..." >&2; exit 2; }
checks=$(grep -v '^#' "$1" | grep .)
shift
count=$(printf '%s\n' "$checks" | wc -l)
# shellcheck disable=SC2046 # each check's two words
out=$("$@" $(printf '%s\n' "$checks") 2>&1 </dev/null)
rc=$?
want=$(printf '%s\n' "$checks" | sed 's/^/ok /')
got=$(printf '%s\n' "$out" | tr -d '\r' | grep -E '^(ok|not ok|differs) ')
total=$(printf '%s\n' "$out" | tr -d '\r' | tail -1)
if [ "$rc" = 0 ] && [ "$got" = "$want" ] &&
   [ "$total" = "$count checks: $count ok, 0 not ok, 0 differs" ]; then
  exit 0
fi
echo "exit status $rc; it printed:"
printf '%s\n' "$out" | head -60
exit 1
