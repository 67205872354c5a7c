#!/bin/sh
# A contract program's --reproduce-into: each check's reproducer written
# into the directory, the very text --reproduce prints, its path printed, in
# the order named; nothing written when a check is unknown; a directory it
# cannot write into, and a missing check, refused with exit status 2.
#   check_reproduce_into.sh COMMAND...
set -eu
[ $# -ge 1 ] || { echo "usage: $0 COMMAND..." >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
"$@" --list </dev/null >"$work/list"
one=$(sed -n 1p "$work/list")
other=$(sed -n '$p' "$work/list")
name() { echo "$1" | tr ' /' '--'; }
mkdir "$work/into"
rc=0
# shellcheck disable=SC2086 # each check's two words
"$@" --reproduce-into "$work/into" $other $one </dev/null >"$work/out" 2>"$work/err" || rc=$?
[ "$rc" -eq 0 ] || fail "exit status $rc: $(cat "$work/err")"
printf '%s\n' "$work/into/$(name "$other").c" "$work/into/$(name "$one").c" >"$work/want"
cmp -s "$work/want" "$work/out" || fail "printed $(cat "$work/out"), not the paths in order"
for check in "$one" "$other"; do
  # shellcheck disable=SC2086 # the check's two words
  "$@" --reproduce $check </dev/null >"$work/alone"
  cmp -s "$work/alone" "$work/into/$(name "$check").c" || fail "$check: not what --reproduce prints"
done
[ "$(ls "$work/into" | wc -l)" -eq 2 ] || fail "wrote $(ls "$work/into")"

mkdir "$work/unknown"
rc=0
# shellcheck disable=SC2086 # the check's two words
"$@" --reproduce-into "$work/unknown" $one X0 nowhere </dev/null >/dev/null 2>"$work/err" || rc=$?
[ "$rc" -eq 2 ] && grep -q "no check named X0 nowhere" "$work/err" ||
  fail "an unknown check: exit status $rc, $(cat "$work/err")"
[ -z "$(ls "$work/unknown")" ] || fail "wrote $(ls "$work/unknown") with a check unknown"

rc=0
# shellcheck disable=SC2086 # the check's two words
"$@" --reproduce-into "$work/none" $one </dev/null >/dev/null 2>"$work/err" || rc=$?
[ "$rc" -eq 2 ] && grep -qF "cannot write $work/none/$(name "$one").c" "$work/err" ||
  fail "no such directory: exit status $rc, $(cat "$work/err")"

rc=0
"$@" --reproduce-into "$work/into" </dev/null >/dev/null 2>"$work/err" || rc=$?
[ "$rc" -eq 2 ] && grep -q "takes a directory and checks" "$work/err" ||
  fail "no check: exit status $rc, $(cat "$work/err")"

[ "$failures" -eq 0 ] || exit 1
echo "--reproduce-into: all cases pass"
