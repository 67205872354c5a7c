#!/bin/sh
# Runs trace_demo and checks every line of its output exactly, against the
# addresses that its first three lines give:
#   the scenario record and the harness record, in this order, each with its
#   handler, then OLDER records installed before the run (each a record
#   line); the tracer's base frame and stack pointer; one frame line per
#   frame from the tracer's own, climbing, through the scenario's frame
#   directly below the frame recorded in saved_ebp, and that frame; and no
#   closing "walk stopped." line.
#   check_trace_demo.sh OLDER COMMAND...
set -eu
[ $# -ge 2 ] || { echo "usage: $0 OLDER COMMAND..." >&2; exit 2; }
older=$1
shift
out=$("$@" </dev/null | tr -d '\r')
hex='0x[0-9a-f]\{8\}'
fail() { echo "$*"; printf '%s\n' "$out"; exit 1; }
field() { printf '%s\n' "$out" | sed -n "$1s/$2/\\1/p"; }

scenario=$(field 1 "^scenario record \($hex\), handler demo_handler $hex\$")
demo=$(field 1 "^scenario record $hex, handler demo_handler \($hex\)\$")
harness=$(field 2 "^harness record  \($hex\), handler handle_exception $hex\$")
handler=$(field 2 "^harness record  $hex, handler handle_exception \($hex\)\$")
recorded=$(field 3 "^frame recorded by invoke_callback (saved_ebp): \($hex\)\$")
[ -n "$scenario" ] && [ -n "$demo" ] && [ -n "$harness" ] && [ -n "$handler" ] &&
  [ -n "$recorded" ] || fail "the first three lines are not the demo's addresses"

n=4
line() { printf '%s\n' "$out" | sed -n "${n}p"; }
expect() {
  [ "$(line)" = "$1" ] || fail "line $n is not \"$1\""
  n=$((n + 1))
}
expect "-- trace_frame_stack"
expect "$scenario: $demo"
expect "$harness: $handler"
i=0
while [ "$i" -lt "$older" ]; do
  printf '%s\n' "$(line)" | grep -qx "$hex: $hex" || fail "line $n is not a record line"
  n=$((n + 1)) i=$((i + 1))
done
expect "-- trace_control_stack"
base=$(line | sed -n "s/^Base frame pointer: \($hex\)\.\$/\1/p")
[ -n "$base" ] || fail "line $n is not the base frame pointer"
n=$((n + 1))
sp=$(line | sed -n "s/^Base stack pointer: \($hex\)\.\$/\1/p")
[ -n "$sp" ] && [ $((sp)) -le $((base)) ] || fail "line $n is not a base stack pointer below $base"
n=$((n + 1))

# Frame lines: the first is the tracer's own, each climbs, and the frame
# recorded by invoke_callback follows the scenario's, 8 bytes below it.
scenario_frame=$(printf '0x%08x' $((recorded - 8)))
previous=0 seen=
total=$(printf '%s\n' "$out" | wc -l)
while [ "$n" -le "$total" ]; do
  frame=$(line | sed -n "s/^\($hex\): $hex\.\$/\1/p")
  [ -n "$frame" ] || fail "line $n is not a frame line"
  [ "$previous" != 0 ] || [ "$frame" = "$base" ] || fail "the first frame is not $base"
  [ $((frame)) -gt $((previous)) ] || fail "line $n does not climb"
  case "$seen:$frame" in
    ":$scenario_frame") seen=scenario ;;
    "scenario:$recorded") seen=recorded ;;
    scenario:*) fail "line $n: the frame after the scenario's is not $recorded" ;;
  esac
  previous=$frame n=$((n + 1))
done
[ "$seen" = recorded ] || fail "no frame $scenario_frame followed by $recorded"
echo "trace_demo: every line as expected."
