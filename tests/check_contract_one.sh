#!/bin/sh
# Checks named on a contract program's command line run alone, as --list
# names them: a check's line, its promise's count and the total; two
# checks of different promises and situations, in one run, the lines of
# their situations in the order named.
#   check_contract_one.sh COMMAND...
set -eu
[ $# -ge 1 ] || { echo "usage: $0 COMMAND..." >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$@" --list </dev/null | tr -d '\r' >"$work/list"
one=$(sed -n 100p "$work/list")
[ -n "$one" ] || { echo "--list names fewer than 100 checks"; exit 1; }
# The first check after it of another promise and another situation.
other=$(sed -n '101,$p' "$work/list" |
        awk -v one="$one" 'BEGIN { split(one, o, " ") } $1 != o[1] && $2 != o[2] { print; exit }')
[ -n "$other" ] || { echo "--list has no check after $one of another promise and situation"; exit 1; }
run() {
  # shellcheck disable=SC2086 # each check's two words
  "$@" </dev/null | tr -d '\r' >"$work/got"
}
promise=${one%% *}
printf 'ok %s\n%s: 1 checks: 1 ok, 0 not ok, 0 differs\n1 checks: 1 ok, 0 not ok, 0 differs\n' \
  "$one" "$promise" >"$work/want"
# shellcheck disable=SC2086 # the check's two words
run "$@" $one
# Named the other way round, the other's situation runs first; a count line
# for each promise, then the total.
if cmp -s "$work/want" "$work/got"; then
  printf 'ok %s\nok %s\n' "$other" "$one" >"$work/want"
  for check in "$one" "$other"; do
    printf '%s: 1 checks: 1 ok, 0 not ok, 0 differs\n' "${check%% *}"
  done | sort >>"$work/want"
  echo "2 checks: 2 ok, 0 not ok, 0 differs" >>"$work/want"
  # shellcheck disable=SC2086 # each check's two words
  run "$@" $other $one
  { head -2 "$work/got"; sed -n 3,4p "$work/got" | sort; sed -n '5,$p' "$work/got"; } >"$work/sorted"
  cmp -s "$work/want" "$work/sorted" && exit 0
fi
echo "the checks alone printed:"
cat "$work/got"
exit 1
