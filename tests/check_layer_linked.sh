#!/bin/sh
# Checks that each program records libseh_platform.so among the libraries it
# needs, before libc.so.6: the layer's pthread_create must come first in the
# lookup order, even in a program that references nothing of the layer.
#   check_layer_linked.sh OBJDUMP PROGRAM...
set -eu
objdump=$1
shift
ok=yes
for program in "$@"; do
  needed=$("$objdump" -p "$program" | awk '$1 == "NEEDED" { print $2 }' | tr '\n' ' ')
  case " $needed" in
    *" libseh_platform.so "*"libc.so.6 "*) ;;
    *) echo "$program needs: $needed(libseh_platform.so missing or after libc.so.6)"; ok=no ;;
  esac
done
[ "$ok" = yes ]
