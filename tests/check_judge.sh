#!/bin/sh
# Runs ostrevin-judge and checks its exit status (one of STATUS, which may
# list several: 0|1) and that its output holds each given text.
#   check_judge.sh STATUS TEXT... -- COMMAND...
set -u
status=$1
shift
texts=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  texts="$texts$1
"
  shift
done
[ "${1-}" = -- ] || { echo "usage: $0 STATUS TEXT... -- COMMAND..." >&2; exit 2; }
shift
out=$("$@" 2>&1)
rc=$?
ok=yes
case "|$status|" in
  *"|$rc|"*) ;;
  *) echo "exit status $rc, expected $status"; ok=no ;;
esac
printf '%s' "$texts" | while IFS= read -r text; do
  printf '%s\n' "$out" | grep -qF -- "$text" || { echo "output lacks: $text"; exit 1; }
done || ok=no
[ "$ok" = yes ] || { echo "--- output:"; printf '%s\n' "$out"; exit 1; }
