#!/bin/sh
# Runs a command and checks its stdout byte for byte, its exit status and,
# optionally, a pattern in its stderr.
#   check_transcript.sh [--crlf] [--stderr ERE] EXPECTED STATUS COMMAND...
# --crlf: the expected lines end in CR LF (the text mode of msvcrt's stdout).
set -eu
crlf=no
stderr_pattern=
while :; do
  case "${1-}" in
    --crlf) crlf=yes; shift ;;
    --stderr) stderr_pattern=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -ge 3 ] || { echo "usage: $0 [--crlf] [--stderr ERE] EXPECTED STATUS COMMAND..." >&2; exit 2; }
expected=$1 status=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ "$crlf" = yes ]; then sed 's/$/\r/' "$expected" >"$work/expected"; else cp "$expected" "$work/expected"; fi
rc=0
"$@" >"$work/stdout" 2>"$work/stderr" </dev/null || rc=$?
ok=yes
if ! cmp -s "$work/expected" "$work/stdout"; then
  echo "stdout differs from $expected:"
  diff -u "$work/expected" "$work/stdout" | cat -A | sed 1,2d
  ok=no
fi
if [ "$rc" != "$status" ]; then
  echo "exit status $rc, expected $status"
  ok=no
fi
if [ -n "$stderr_pattern" ] && ! grep -Eq "$stderr_pattern" "$work/stderr"; then
  echo "stderr lacks /$stderr_pattern/:"
  cat "$work/stderr"
  ok=no
fi
[ "$ok" = yes ]
