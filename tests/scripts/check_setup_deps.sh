#!/bin/sh
# scripts/setup-deps against fake dpkg-query, dpkg, apt-get and sudo, run as
# an unprivileged user (and once as root when the test is root): it installs
# only what is missing, needs privileges only for that, and names the
# packages and fails when it cannot install them.
#   check_setup_deps.sh SCRIPTS_DIR
set -eu
setpriv=$(command -v setpriv)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A copy that the unprivileged user can read wherever the checkout is.
mkdir "$work/scripts"
cp -R "$1/setup-deps" "$1/lib" "$work/scripts/"
scripts=$work/scripts
failures=0
fail() { echo "FAIL: $case_name: $*"; failures=$((failures + 1)); }

# The fakes keep their state in $work/state: the missing packages, one a
# line, the foreign architectures, and a log of every privileged call.
mkdir "$work/fakes"
cat >"$work/fakes/dpkg-query" <<'FAKE'
#!/bin/sh
pkg=$3
if grep -qxF "$pkg" "$STATE/missing"; then
  echo "dpkg-query: no packages found matching $pkg" >&2; exit 1
fi
printf installed
FAKE
cat >"$work/fakes/dpkg" <<'FAKE'
#!/bin/sh
case "$1" in
  --print-foreign-architectures) cat "$STATE/arches" ;;
  --add-architecture) echo "dpkg $*" >>"$STATE/log"; echo "$2" >>"$STATE/arches" ;;
  *) exit 2 ;;
esac
FAKE
cat >"$work/fakes/apt-get" <<'FAKE'
#!/bin/sh
echo "apt-get $* (as $(id -u), DEBIAN_FRONTEND=${DEBIAN_FRONTEND-})" >>"$STATE/log"
[ ! -e "$STATE/apt-fails" ] || exit 100
case " $* " in
  *" install "*)
    for arg; do
      case "$arg" in -*|install) ;; *) grep -vxF "$arg" "$STATE/missing" >"$STATE/m" || true; cat "$STATE/m" >"$STATE/missing" ;; esac
    done ;;
esac
FAKE
cat >"$work/fakes/sudo" <<'FAKE'
#!/bin/sh
echo "sudo $1" >>"$STATE/log"
exec "$@"
FAKE
chmod 755 "$work/fakes"/*
# Only these tools on PATH, so that no real sudo or apt-get is ever found.
for tool in sh id tr env cat grep dirname; do
  ln -s "$(command -v "$tool")" "$work/fakes/$tool"
done

# run CASE SUDO(yes|no) AS(user|root) ARCHES MISSING...: runs setup-deps
# (with apt_fails=yes, every apt-get call fails).
run() {
  case_name=$1 sudo=$2 as=$3 arches=$4
  shift 4
  rm -rf "$work/state" "$work/bin"
  mkdir "$work/state" "$work/bin"
  printf '%s\n' "$@" >"$work/state/missing"
  printf '%s\n' $arches >"$work/state/arches"
  : >"$work/state/log"
  [ "${apt_fails-}" != yes ] || : >"$work/state/apt-fails"
  cp -P "$work/fakes"/* "$work/bin/"
  [ "$sudo" = yes ] || rm "$work/bin/sudo"
  chmod -R a+rwX "$work"
  rc=0
  if [ "$as" = user ] && [ "$(id -u)" -eq 0 ]; then
    env -i PATH="$work/bin" STATE="$work/state" OSTREVIN_I386=native \
      "$setpriv" --reuid=65534 --regid=65534 --clear-groups -- \
      "$scripts/setup-deps" >"$work/out" 2>&1 || rc=$?
  else
    env -i PATH="$work/bin" STATE="$work/state" OSTREVIN_I386=native "$scripts/setup-deps" >"$work/out" 2>&1 || rc=$?
  fi
}
expect_status() { [ "$rc" -eq "$1" ] || { fail "exit status $rc, expected $1"; cat "$work/out"; }; }
expect_out() { grep -qF -- "$1" "$work/out" || { fail "output lacks '$1':"; cat "$work/out"; }; }
expect_log() { grep -qF -- "$1" "$work/state/log" || { fail "no call '$1' in:"; cat "$work/state/log"; }; }
expect_no_log() { [ ! -s "$work/state/log" ] || { fail "unexpected privileged calls:"; cat "$work/state/log"; }; }
expect_missing() {
  [ "$(cat "$work/state/missing")" = "$1" ] || fail "still missing: $(cat "$work/state/missing"), expected '$1'"
}

run "nothing missing, no root, no sudo" no user i386
expect_status 0
expect_no_log
[ ! -s "$work/out" ] || { fail "printed something:"; cat "$work/out"; }

run "missing, no root, no sudo" no user i386 wine32:i386 qemu-user
expect_status 1
expect_out "missing packages: wine32:i386 qemu-user"
expect_out "apt-get install wine32:i386 qemu-user"
expect_no_log

run "missing, no root, with sudo" yes user i386 qemu-user valgrind
expect_status 0
expect_log "sudo env"
expect_log "apt-get update -qq (as 65534"
expect_log "install -y -qq --no-install-recommends qemu-user valgrind (as"
expect_log "DEBIAN_FRONTEND=noninteractive"
expect_missing ""
[ "$(grep -c '^apt-get' "$work/state/log")" -eq 2 ] || fail "not exactly update and install: $(cat "$work/state/log")"
grep -q '^dpkg' "$work/state/log" && fail "enabled an architecture that was enabled"

# Headless Chromium renders the platform matrix's picture and opens its page
# in a test: it is among the packages set up.
run "chromium missing" no user i386 chromium
expect_status 1
expect_out "apt-get install chromium"

run "i386 not enabled" yes user "" libgtest-dev:i386
expect_status 0
[ "$(head -n 2 "$work/state/log" | tail -n 1)" = "dpkg --add-architecture i386" ] ||
  fail "i386 not enabled before the lists were read: $(cat "$work/state/log")"
expect_missing ""

apt_fails=yes
run "the install fails" yes user i386 wine
apt_fails=no
expect_status 1
expect_out "could not install: wine"

if [ "$(id -u)" -eq 0 ]; then
  run "missing, as root without sudo" no root i386 cmake
  expect_status 0
  expect_log "install -y -qq --no-install-recommends cmake (as 0"
  grep -q '^sudo' "$work/state/log" && fail "used sudo as root"
  expect_missing ""
else
  echo "not root: the root case is not run"
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "setup-deps: all cases pass"
