#!/bin/sh
# Checks that a predicted output of unwind-contract fails (not ok or
# differs) the checks of the given promises and of no others, and each of
# the given promises at least once.
#   check_fault_promises.sh OUTPUT PROMISE...
set -eu
[ $# -ge 2 ] || { echo "usage: $0 OUTPUT PROMISE..." >&2; exit 2; }
output=$1
shift
failed=$(sed -n 's/^not ok \([A-Z][0-9]\) .*/\1/p; s/^differs \([A-Z][0-9]\) .*/\1/p' "$output" | sort -u)
status=0
for id in $failed; do
  case " $* " in
    *" $id "*) ;;
    *) echo "$output: fails $id, which the build is not said to break"; status=1 ;;
  esac
done
for id in "$@"; do
  echo "$failed" | grep -qx "$id" || { echo "$output: no check of $id fails"; status=1; }
done
exit "$status"
