# Debian 12's qemu-user: FS and set_thread_area emulated in user mode.
title="qemu-user 7.2 (Debian 12)"
target=linux
cost="Debian's qemu-user, 12 MB (./scripts/setup-deps installs it); seconds"
qemu=/usr/bin/qemu-i386
set_up() {
  ensure_packages platforms qemu-user || cannot "qemu-user is missing and cannot be installed here"
  [ -x "$qemu" ] || cannot "qemu-user has no $qemu"
}
qemu_version() { "$qemu" --version | sed -n '1s/^qemu-i386 version //p'; }
platform_version() { qemu_version; }
judge_on() { program=$1; shift; "$judge" "$@" qemu --qemu "$qemu" linux "$program"; }
