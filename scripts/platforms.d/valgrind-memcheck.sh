# memcheck on the linux-i386 build: a memory error is a deviation (its own
# exit status, and memcheck's report on stderr). Its main stack as with
# --tool=none.
. "$here/valgrind-none.sh"
title="valgrind --tool=memcheck"
cost="Debian's valgrind and libc6-dbg:i386 (./scripts/setup-deps installs them); seconds"
set_up() {
  ensure_packages platforms valgrind libc6-dbg:i386 ||
    cannot "valgrind or libc6-dbg:i386 is missing and cannot be installed here"
}
platform_version() { echo "$(valgrind --version) memcheck"; }
judge_on() {
  program=$1
  shift
  "$judge" "$@" command valgrind -q --tool=memcheck --error-exitcode=99 \
    --main-stacksize="$(main_stack)" --suppressions="$here/../../tests/valgrind.supp" "$program"
}
