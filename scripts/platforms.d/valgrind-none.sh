# valgrind's core without a tool: its x86 emulation, segment registers
# included, runs the linux-i386 build.
title="valgrind --tool=none"
target=linux
cost="Debian's valgrind (./scripts/setup-deps installs it); seconds"
set_up() { ensure_packages platforms valgrind || cannot "valgrind is missing and cannot be installed here"; }
platform_version() { valgrind --version; }
judge_on() { program=$1; shift; "$judge" "$@" command valgrind -q --tool=none "$program"; }
