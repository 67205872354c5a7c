#!/bin/sh
# Checks that a program holds each of the given texts as a string of its own,
# that is, that the code printing them was not compiled out.
#   check_strings.sh STRINGS PROGRAM TEXT...
set -eu
[ $# -ge 3 ] || { echo "usage: $0 STRINGS PROGRAM TEXT..." >&2; exit 2; }
tool=$1 program=$2
shift 2
found=$("$tool" -a "$program") || { echo "$tool cannot read $program"; exit 1; }
fail=0
for text; do
  if ! printf '%s\n' "$found" | grep -Fqx -e "$text"; then
    echo "$program lacks the string \"$text\""
    fail=1
  fi
done
exit "$fail"
