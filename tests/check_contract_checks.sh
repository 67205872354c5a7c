#!/bin/sh
# Runs each check named by CHECKS (a file of "PROMISE SITUATION" lines), one
# process each, through COMMAND (a memory checker, say): every one must
# print "ok" with its counts and exit 0.
#   check_contract_checks.sh CHECKS COMMAND...
set -u
[ $# -ge 2 ] || { echo "usage: $0 CHECKS COMMAND..." >&2; exit 2; }
checks=$1
shift
failed=0
while read -r promise situation; do
  case "$promise" in ''|'#'*) continue ;; esac
  out=$("$@" "$promise" "$situation" 2>&1)
  rc=$?
  if [ "$rc" != 0 ] || [ "$(printf '%s\n' "$out" | head -1 | tr -d '\r')" != "ok $promise $situation" ]; then
    echo "$promise $situation: exit status $rc"
    printf '%s\n' "$out" | head -20
    failed=$((failed + 1))
  fi
done <"$checks"
[ "$failed" -eq 0 ] || { echo "$failed check(s) failed"; exit 1; }
