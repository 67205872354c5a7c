# The linux-i386 build on this host's own kernel: the reference row.
title="Linux, this host's kernel (i386 programs)"
target=linux
cost="nothing to set up; under a second"
set_up() { :; }
# On a kernel that runs no i386 programs, scripts/with-i386 runs them on an
# emulator (OSTREVIN_I386 names it): the row says so.
platform_version() {
  case "${OSTREVIN_I386-native}" in
    native) echo "$(uname -s) $(uname -r) $(uname -m)" ;;
    *) echo "$(uname -s) $(uname -r) $(uname -m), i386 programs on $(basename "$OSTREVIN_I386") (this kernel runs none)" ;;
  esac
}
# Through command, not linux: the program is run as it is, whatever it is.
judge_on() { program=$1; shift; "$judge" "$@" command "$program"; }
