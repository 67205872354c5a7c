# The linux-i386 build on this host's own kernel: the reference row.
title="Linux, this host's kernel (i386 programs)"
target=linux
cost="nothing to set up; under a second"
set_up() { :; }
# On a kernel that runs no i386 programs, scripts/with-i386 runs them on an
# emulator: the row says so.
platform_version() {
  if "$in_i386" --native; then
    echo "$(uname -s) $(uname -r) $(uname -m)"
  else
    echo "$(uname -s) $(uname -r) $(uname -m), whose kernel runs no i386 programs: they ran on qemu-i386"
  fi
}
# Through command, not linux: the program is run as it is, whatever it is.
judge_on() { program=$1; shift; "$judge" "$@" command "$program"; }
