# The linux-i386 build on this host's own kernel: the reference row.
title="Linux, this host's kernel (i386 programs)"
target=linux
cost="nothing to set up; under a second"
set_up() { :; }
platform_version() { echo "$(uname -s) $(uname -r) $(uname -m)"; }
# Through command, not linux: the program is run as it is, whatever it is.
judge_on() { program=$1; shift; "$judge" "$@" command "$program"; }
