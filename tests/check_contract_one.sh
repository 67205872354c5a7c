#!/bin/sh
# A check named on a contract program's command line runs alone, as
# --list names it: its line, its promise's count and the total.
#   check_contract_one.sh COMMAND...
set -eu
[ $# -ge 1 ] || { echo "usage: $0 COMMAND..." >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$@" --list </dev/null | tr -d '\r' >"$work/list"
one=$(sed -n 100p "$work/list")
[ -n "$one" ] || { echo "--list names fewer than 100 checks"; exit 1; }
# shellcheck disable=SC2086 # the check's two words
"$@" $one </dev/null | tr -d '\r' >"$work/one"
promise=${one%% *}
printf 'ok %s\n%s: 1 checks: 1 ok, 0 not ok, 0 differs\n1 checks: 1 ok, 0 not ok, 0 differs\n' \
  "$one" "$promise" >"$work/want"
if ! cmp -s "$work/want" "$work/one"; then
  echo "the check $one alone printed:"
  cat "$work/one"
  exit 1
fi
