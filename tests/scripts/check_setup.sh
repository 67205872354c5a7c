#!/bin/sh
# scripts/setup in a scratch checkout, with fake set-up, cmake, programs and
# Wine: its exit status is non-zero when a build or either run fails, and the
# Windows transcript is printed without its CRs.
#   check_setup.sh SCRIPTS_DIR
set -eu
scripts=$(cd "$1" && pwd)
. "$(dirname "$0")/checks.sh"

mkdir -p "$work/bin"
# The fake cmake makes the two "programs" when it builds; their exit status
# comes from the environment.
cat >"$work/bin/cmake" <<'FAKE'
#!/bin/sh
preset= prev=
for arg; do [ "$prev" != --preset ] || preset=$arg; prev=$arg; done
[ "${BUILD_FAILS-}" != "$preset" ] || { echo "fake build error in $preset"; exit 1; }
if [ "$1" = --build ]; then
  case "$preset" in
    linux-i386)
      mkdir -p build/linux-i386/bin
      printf '#!/bin/sh\necho linux transcript\nexit ${LINUX_STATUS:-0}\n' >build/linux-i386/bin/ostrevin
      chmod +x build/linux-i386/bin/ostrevin ;;
    win32)
      mkdir -p build/win32/bin
      printf '#!/bin/sh\nprintf "wine transcript\\r\\n"\nexit ${WINE_STATUS:-0}\n' >build/win32/wine-run
      chmod +x build/win32/wine-run ;;
  esac
fi
FAKE
printf '#!/bin/sh\necho wine-0.0\n' >"$work/bin/wine"
chmod +x "$work/bin"/*

run() {
  case_name=$1
  rm -rf "$work/checkout"
  mkdir -p "$work/checkout/scripts"
  cp "$scripts/setup" "$work/checkout/scripts/"
  cp -R "$scripts/lib" "$work/checkout/scripts/"
  printf '#!/bin/sh\nexit 0\n' >"$work/checkout/scripts/setup-deps"
  # with-i386 as on a kernel that runs i386 programs itself.
  printf '#!/bin/sh\nOSTREVIN_I386=native exec "$@"\n' >"$work/checkout/scripts/with-i386"
  chmod +x "$work/checkout/scripts/setup-deps" "$work/checkout/scripts/with-i386"
  rc=0
  PATH="$work/bin:$PATH" "$work/checkout/scripts/setup" >"$work/out" 2>&1 || rc=$?
}
expect_status() {
  if [ "$1" = nonzero ]; then [ "$rc" -ne 0 ] || { fail "exit status 0"; cat "$work/out"; }
  else [ "$rc" -eq "$1" ] || { fail "exit status $rc, expected $1"; cat "$work/out"; }
  fi
}
expect_out() { grep -qF -- "$1" "$work/out" || { fail "output lacks '$1':"; cat "$work/out"; }; }

run "both runs pass"
expect_status 0
expect_out "linux transcript"
grep -qx "wine transcript" "$work/out" || fail "the Windows transcript is missing or keeps its CR"

WINE_STATUS=3; export WINE_STATUS
run "the Wine run fails"
expect_status nonzero
expect_out "wine transcript"
expect_out "ostrevin.exe under Wine failed (exit status 3)"
unset WINE_STATUS

LINUX_STATUS=41; export LINUX_STATUS
run "the linux-i386 run fails"
expect_status nonzero
expect_out "ostrevin on linux-i386 failed (exit status 41)"
expect_out "wine transcript"
unset LINUX_STATUS

BUILD_FAILS=win32; export BUILD_FAILS
run "the win32 build fails"
expect_status nonzero
expect_out "fake build error in win32"
unset BUILD_FAILS

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "setup: all cases pass"
