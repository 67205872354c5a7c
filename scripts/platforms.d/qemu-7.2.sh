# Debian 12's qemu-user: FS and set_thread_area emulated in user mode.
title="qemu-user 7.2 (Debian 12)"
target=linux
cost="Debian's qemu-user, 12 MB (./scripts/setup-deps installs it); seconds"
qemu=/usr/bin/qemu-i386
note="qemu-user 7.2 keeps one GDT for every thread of an i386 process, and its sigreturn (restore_sigcontext) reloads FS and GS from it: after other threads have started, a thread comes back from a signal handler with the segment bases of the thread that last wrote its TLS entries. The layer turns faults into exceptions by returning from its signal handler, so dispatch-contract's processor exceptions after a situation with threads run on another thread's block (see \"The layer on qemu-user 7.2\" in docs/deviations.md): the emulator's deviation, not the layer's."
set_up() {
  ensure_packages platforms qemu-user || cannot "qemu-user is missing and cannot be installed here"
  [ -x "$qemu" ] || cannot "qemu-user has no $qemu"
}
qemu_version() { "$qemu" --version | sed -n '1s/^qemu-i386 version //p'; }
platform_version() { qemu_version; }
judge_on() { program=$1; shift; "$judge" "$@" qemu --qemu "$qemu" linux "$program"; }
