#!/bin/sh
# Checks that none of the ELF files needs the C++ runtime (libstdc++,
# libgcc_s) or libm: the layer, the harness and the program are C++ without
# exceptions or RTTI, and loading those libraries would cost every run.
#   check_no_cxx_runtime.sh OBJDUMP FILE...
set -eu
objdump=$1
shift
ok=yes
for file in "$@"; do
  needed=$("$objdump" -p "$file" | awk '$1 == "NEEDED" { print $2 }')
  for library in $needed; do
    case "$library" in
      libstdc++.so*|libgcc_s.so*|libm.so*) echo "$file needs $library"; ok=no ;;
    esac
  done
done
[ "$ok" = yes ]
