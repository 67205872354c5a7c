#!/bin/sh
# unwind-contract --list names exactly the checks of a whole run (the
# conforming output), in the same order; and a check named on the command
# line runs alone: its line, its promise's count and the total.
#   check_contract_list.sh CONFORMING_OUTPUT COMMAND...
set -eu
[ $# -ge 2 ] || { echo "usage: $0 CONFORMING_OUTPUT COMMAND..." >&2; exit 2; }
output=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$@" --list | tr -d '\r' >"$work/list"
sed -n 's/^\(ok\|not ok\|differs\) \([A-Z][0-9] [^:]*\).*/\2/p' "$output" >"$work/checks"
if ! cmp -s "$work/checks" "$work/list"; then
  echo "--list differs from the checks of $output:"
  diff "$work/checks" "$work/list" | head -20
  exit 1
fi
one=$(sed -n 100p "$work/list")
# shellcheck disable=SC2086 # the check's two words
"$@" $one | tr -d '\r' >"$work/one"
promise=${one%% *}
printf 'ok %s\n%s: 1 checks: 1 ok, 0 not ok, 0 differs\n1 checks: 1 ok, 0 not ok, 0 differs\n' \
  "$one" "$promise" >"$work/want"
if ! cmp -s "$work/want" "$work/one"; then
  echo "the check $one alone printed:"
  cat "$work/one"
  exit 1
fi
