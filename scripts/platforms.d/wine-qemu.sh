# The host's Wine with its 32-bit half on an emulated CPU: the judge's qemu
# platform runs Wine's ELF loader under qemu-i386 10.0. The prefix is made
# natively once, which is quicker than under the emulator.
. "$here/qemu-10.0.sh"
title="Wine (Debian 12) on qemu-user 10.0"
target=win32
exe=.exe
cost="qemu-user 10.0 (as above) and the host's Wine; a few seconds"
# Where the kernel runs i386 programs, the processes Wine starts run natively;
# where it does not, scripts/with-i386 runs them on its own qemu-i386.
if "$in_i386" --native; then
  note="Only the first process runs on the emulated CPU: a process it starts (the contract's checks that run in a child process of their own) is executed by the kernel, natively, since qemu-user follows execve only through binfmt_misc, which is never registered system-wide here."
else
  note="This host's kernel runs no i386 programs: the processes Wine starts (wineserver, and the contract's checks that run in a child process of their own) run on the qemu-i386 10.0 of scripts/with-i386 as well."
fi
wine_loader=/usr/lib/wine/wine
wine_prefix=$OSTREVIN_CACHE/wine-qemu/prefix
wine_env() {
  env WINEPREFIX="$wine_prefix" WINEDEBUG=-all DISPLAY= \
    WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" "$@"
}
set_up() {
  [ -x "$wine_loader" ] || cannot "no 32-bit Wine loader at $wine_loader (Debian's wine32:i386)"
  command -v wine >/dev/null 2>&1 || cannot "no wine on PATH (Debian's wine)"
  ( fetch_qemu10 ) || exit 1
  if [ ! -f "$wine_prefix/system.reg" ]; then
    mkdir -p "$wine_prefix"
    wine_env "$in_i386" wine wineboot -i </dev/null >/dev/null 2>&1
    wine_env "$in_i386" wineserver -w </dev/null >/dev/null 2>&1
    [ -f "$wine_prefix/system.reg" ] || cannot "wineboot made no prefix in $wine_prefix"
  fi
}
platform_version() { echo "$("$in_i386" wine --version 2>/dev/null) on qemu-i386 $(qemu_version)"; }
judge_on() {
  program=$1
  shift
  "$judge" "$@" qemu --qemu "$qemu" wine --wine wine --prefix "$wine_prefix" "$program"
}
