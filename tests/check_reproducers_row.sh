#!/bin/sh
# check_reproducers.py row on runs kept as scripts/platforms keeps them,
# under the build's Wine: a finding that its reproducer gives again, a
# forged one that it must not (shown with the check's line, what the
# reproducer printed and how it ended), another row's findings held to
# this row's verdicts, and each exit status.
#   check_reproducers_row.sh PYTHON3 CHECK_REPRODUCERS WINE_PREFIX OSTREVIN_EXE
set -u
[ $# -eq 4 ] || { echo "usage: $0 PYTHON3 CHECK_REPRODUCERS WINE_PREFIX OSTREVIN_EXE" >&2; exit 2; }
python=$1 script=$2 prefix=$3 ostrevin=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $case_name: $*"; failures=$((failures + 1)); }
# row CASE RUNS PLATFORM...: its words in $work/out, its status in $rc.
row() {
  case_name=$1
  shift
  rc=0
  "$python" "$script" row "$@" >"$work/out" 2>&1 </dev/null || rc=$?
}
expect_status() { [ "$rc" -eq "$1" ] || fail "exit status $rc, expected $1: $(cat "$work/out")"; }
expect_line() { grep -qxF -- "$1" "$work/out" || fail "no line '$1' in: $(cat "$work/out")"; }
# wine_row CASE RUNS [--findings-of OTHER_RUNS]: under the build's Wine.
wine_row() {
  name=$1 kept=$2
  shift 2
  row "$name" "$kept" "$@" wine --wine wine --prefix "$prefix" "$ostrevin"
}

# E3 differs on Wine: the first line is Wine's own, the second forged.
mkdir -p "$work/runs/saved"
cat >"$work/runs/saved/unwind-contract.out" <<'RUN'
ok U1 1-above/to-record/own/continues/top
differs E3 1-above/exit/own/continues/top: RtlUnwind returned with the end marker at the head and ReturnValue in EAX
not ok E3 1-above/to-unlinked/own/continues/top: a forged finding
2 checks: 1 ok, 0 not ok, 1 differs
RUN
wine_row "a finding given again, a forged one not" "$work/runs"
expect_status 1
expect_line "reproducers: 1 of 2 agree with their check"
expect_line "  unwind-contract: all 1 not ok; all 1 that differ"
expect_line "  dispatch-contract: no run of it kept"
expect_line "E3 1-above/to-unlinked/own/continues/top: the check says 'not ok E3 1-above/to-unlinked/own/continues/top: a forged finding'; its reproducer exited 0, printing:"
grep -q "^    differs E3 1-above/to-unlinked/own/continues/top" "$work/out" ||
  fail "not the reproducer's own verdict line: $(cat "$work/out")"
! grep -q "^E3 1-above/exit/" "$work/out" || fail "the finding given again is listed"

# Another Wine's findings, each held to this row's own verdict: U1 is ok
# here; W2 was not run here, and is passed over.
mkdir -p "$work/other/saved"
cat >"$work/other/saved/unwind-contract.out" <<'RUN'
not ok U1 1-above/to-record/own/continues/top: the other Wine's finding
not ok W2 1-above/base-4/exit/own/continues/top: not run on this row
2 checks: 0 ok, 2 not ok, 0 differs
RUN
wine_row "another row's findings" "$work/runs" --findings-of "$work/other"
expect_status 1
expect_line "reproducers: 2 of 3 agree with their check"
expect_line "  unwind-contract, the findings of other: all 2 not ok; none differs; 1 more tried here, 1 that this run does not hold passed over"
! grep -q "^U1 " "$work/out" || fail "the other row's finding, ok here, is listed"

mkdir -p "$work/none"
wine_row "no runs kept" "$work/none"
expect_status 2
expect_line "reproducers: none run: unwind-contract: no run of it kept; dispatch-contract: no run of it kept"

row "not a Wine platform" "$work/runs" linux "$work/ostrevin"
expect_status 2
grep -q "^reproducers: none run: .* is no Wine platform$" "$work/out" || fail "$(cat "$work/out")"

row "a wrong platform" "$work/runs" wnie "$ostrevin"
expect_status 2
expect_line "reproducers: none run: unknown platform wnie (the nearest: wine)"

# The interpreter itself, as a launcher of it may need PATH.
python=$("$python" -c 'import sys; print(sys.executable)')
PATH=$work/none wine_row "no mingw" "$work/runs"
expect_status 2
expect_line "reproducers: none built: no i686-w64-mingw32-gcc on PATH"

row "no platform" "$work/runs"
expect_status 2

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "reproducers of a row: all cases pass"
