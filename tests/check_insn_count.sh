#!/bin/sh
# The counting plugin on a program whose regions hold known numbers of
# instructions (insn_probe.S): exact counts in order, the same counts and
# total on a second run, markers out of order and an exit inside a region
# reported, and bad arguments refused.
#   check_insn_count.sh QEMU PLUGIN PROBE
set -eu
qemu=$1 plugin=$2 probe=$3
. "$(dirname "$0")/scripts/checks.sh"

case_name="the probe's regions"
"$qemu" -plugin "$plugin,out=$work/first" "$probe" || fail "the probe exited $?"
printf 'region 0\nregion 5\nregion 21\nregion 4\nregion 2\nerror a region began inside another\nregion 0\nerror a region ended that had not begun\n' >"$work/expected"
grep -v '^total ' "$work/first" >"$work/regions" || true
cmp -s "$work/expected" "$work/regions" || fail "counted: $(cat "$work/regions")"
grep -qx 'total [1-9][0-9]*' "$work/first" || fail "no total"

case_name="a second run"
"$qemu" -plugin "$plugin,out=$work/second" "$probe" || fail "the probe exited $?"
cmp -s "$work/first" "$work/second" || fail "$(diff "$work/first" "$work/second")"

case_name="an exit inside a region, counts on stderr"
"$qemu" -plugin "$plugin" "$probe" inside 2>"$work/err" || fail "the probe exited $?"
grep -qx "error the program exited inside a region" "$work/err" || fail "not reported: $(cat "$work/err")"

for arg in "count=1" "out="; do
  case_name="the argument '$arg'"
  status=0
  "$qemu" -plugin "$plugin,$arg" "$probe" 2>"$work/err" || status=$?
  [ "$status" -ne 0 ] || fail "accepted"
  grep -q "insn_count: unknown argument '$arg' (takes out=FILE)" "$work/err" || fail "said: $(cat "$work/err")"
done
case_name="an out file that cannot be written"
status=0
"$qemu" -plugin "$plugin,out=$work/none/counts" "$probe" 2>"$work/err" || status=$?
[ "$status" -ne 0 ] || fail "accepted"
grep -q "insn_count: cannot write $work/none/counts: No such file or directory" "$work/err" ||
  fail "said: $(cat "$work/err")"

[ "$failures" -eq 0 ] && echo "all counting plugin checks passed"
exit "$failures"
