#!/bin/sh
# Every program a user types reads alike: --help prints its usage first and
# its exit statuses last, on stdout, with exit status 0, and the README
# gives the same exit statuses; a wrong option names the nearest valid one,
# "PROGRAM: unknown option --X (the nearest: --Y)", then the usage, on
# stderr, with exit status 2, before the program does anything else.
#   check_help.sh SOURCE_DIR
set -eu
top=$(cd "$1" && pwd)
. "$(dirname "$0")/checks.sh"

# check PROGRAM WRONG NEAREST: PROGRAM (a path in the checkout) with --help,
# and with the wrong option WRONG, whose nearest valid option is NEAREST.
check() {
  name=$1
  [ "$1" != judge/ostrevin-judge ] || name=ostrevin-judge
  case_name="$1 --help"
  rc=0
  "$top/$1" --help >"$work/out" 2>"$work/err" </dev/null || rc=$?
  [ "$rc" -eq 0 ] || fail "exit status $rc"
  [ ! -s "$work/err" ] || fail "wrote on stderr: $(cat "$work/err")"
  head -n 1 "$work/out" | grep -q "^usage: " || fail "does not begin with its usage"
  # The last paragraph: its exit statuses, as the README gives them.
  statuses=$(awk 'BEGIN { RS = "" } { last = $0 } END { print last }' "$work/out" | tr '\n' ' ' |
    sed 's/  */ /g; s/ $//')
  case "$statuses" in
    "exit status: "*) grep -qF -- "| \`$name\` | ${statuses#exit status: } |" "$top/README.md" ||
                        fail "the README's exit statuses are not: ${statuses#exit status: }" ;;
    *) fail "does not end with its exit statuses: $statuses" ;;
  esac

  case_name="$1 $2"
  rc=0
  "$top/$1" "$2" >"$work/out" 2>"$work/err" </dev/null || rc=$?
  [ "$rc" -eq 2 ] || fail "exit status $rc, not 2"
  [ ! -s "$work/out" ] || fail "wrote on stdout: $(cat "$work/out")"
  [ "$(head -n 1 "$work/err")" = "$name: unknown option $2 (the nearest: $3)" ] ||
    fail "said: $(head -n 1 "$work/err")"
  sed -n 2p "$work/err" | grep -q "^usage: " || fail "no usage after the message: $(cat "$work/err")"
}

check judge/ostrevin-judge --tapp --tap
check scripts/platforms --lst --list
check scripts/test --hepl --help
check scripts/setup --hepl --help
check scripts/setup-deps --hepl --help
check bench/run --doc --docs
check scripts/with-i386 --nativ --native

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "help: all programs read alike"
