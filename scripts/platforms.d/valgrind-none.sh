# valgrind's core without a tool: its x86 emulation, segment registers
# included, runs the linux-i386 build.
title="valgrind --tool=none"
target=linux
cost="Debian's valgrind (./scripts/setup-deps installs it); seconds"
note="valgrind runs with a main stack a mebibyte larger than the stack limit (ulimit -s) that the layer's bounds follow: by default valgrind's main stack stops a page short of StackLimit, so that a record there cannot be written. The contract programs' findings here are valgrind's (see \"The layer under valgrind\" in docs/deviations.md): its sigreturn does not restore EFLAGS (C1, V3, F2, H2, X), it ignores the trap flag (D1, V1, V8 of single-step), it does not grow the main stack to StackLimit next to the layer's guard page (T2; and in dispatch-contract a record at StackLimit or below it, and a stack overflow on the main thread, end the process as an overflow: D2, F4, X9), it reports a push into the guard page one instruction late (X9), and it sets no x87 exception flag at all, so that X10 cannot be tried (differs)."
set_up() { ensure_packages platforms valgrind || cannot "valgrind is missing and cannot be installed here"; }
platform_version() { valgrind --version; }
# The main stack: the stack limit and a mebibyte (16 MiB when unlimited).
main_stack() {
  limit=$(ulimit -s)
  case "$limit" in
    unlimited) echo 16777216 ;;
    *) echo $((limit * 1024 + 1048576)) ;;
  esac
}
judge_on() {
  program=$1
  shift
  "$judge" "$@" command valgrind -q --tool=none --main-stacksize="$(main_stack)" "$program"
}
