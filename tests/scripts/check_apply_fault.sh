#!/bin/sh
# cmake/apply_fault.cmake, as the build runs it for each faulty build: a
# patch that applies exactly makes the copy; one that no longer applies,
# even with an offset its context would allow with fuzz, stops the build
# and names its fault.
#   check_apply_fault.sh PROJECT_DIR PATCH_PROGRAM
set -eu
top=$1 patch=$2
. "$(dirname "$0")/checks.sh"

mkdir "$work/source"
printf 'one\ntwo\nthree\nfour\nfive\n' >"$work/source/layer.cpp"
apply() {
  rc=0
  cmake -DFAULT=demo -DPATCH="$work/demo.patch" -DSOURCE="$work/source" -DCOPY="$work/copy" \
        -DPATCH_PROGRAM="$patch" -DFILES=layer.cpp -P "$top/cmake/apply_fault.cmake" \
        >"$work/out" 2>&1 || rc=$?
}
write_patch() {
  { echo "Breaks W1: a demonstration."; echo
    printf -- '--- a/platform/layer.cpp\n+++ b/platform/layer.cpp\n@@ -2,3 +2,3 @@\n %s\n-%s\n+%s\n %s\n' "$@"; } >"$work/demo.patch"
}

case_name="a patch that applies"
write_patch two three THREE four
apply
[ "$rc" -eq 0 ] || { fail "exit status $rc"; cat "$work/out"; }
grep -qx THREE "$work/copy/platform/layer.cpp" || fail "the copy was not patched"
grep -qx three "$work/source/layer.cpp" || fail "the source itself was changed"

case_name="a patch whose context no longer matches"
write_patch two three THREE 4
apply
[ "$rc" -ne 0 ] || fail "exit status 0"
grep -q "the faulty build demo: .*demo.patch no longer applies" "$work/out" || { fail "no message naming the fault"; cat "$work/out"; }

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "apply_fault: all cases pass"
