# Sourced by the script checks that count their failed cases: a scratch
# folder, removed on exit, and fail, which names the case ($case_name).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $case_name: $*"; failures=$((failures + 1)); }
