#!/bin/sh
# Checks the PE tables of the win32 deliverables:
# - qarvel.dll exports exactly the nine names, ordinals 1 to 9 in
#   alphabetical order, the two saved words as data;
# - ostrevin.exe imports exactly five functions by name from qarvel.dll;
# - both import printf from msvcrt.dll, and need no DLL beyond KERNEL32,
#   msvcrt and (for the program) qarvel.
#   check_pe_tables.sh OBJDUMP QARVEL_DLL OSTREVIN_EXE
set -eu
objdump=$1 dll=$2 exe=$3
fail=0
complain() { echo "$*"; fail=1; }

# Lines "ordinal name" of the export name table.
exports=$("$objdump" -p "$dll" | awk '
  /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  on && NF == 0 { on = 0 }
  on { gsub(/[][]/, " "); print $1 + 1, $2 }')
expected_exports='1 do_unwind
2 establish_return_frame
3 handle_exception
4 invoke_callback
5 perform_test_unwind
6 saved_ebp
7 saved_exception_frame
8 trace_control_stack
9 trace_frame_stack'
[ "$exports" = "$expected_exports" ] || complain "qarvel.dll exports:
$exports"

# The two saved words live in a data section, the rest in code.
image_base=$((0x$("$objdump" -p "$dll" | awk '/^ImageBase/ { print $2 }')))
sections=$("$objdump" -h "$dll" | awk '$2 ~ /^\./ { print $2, $4, $3 }')
section_of() { # RVA -> section name
  echo "$sections" | while read -r name vma size; do
    lo=$((0x$vma - image_base)) hi=$((0x$vma - image_base + 0x$size))
    if [ "$1" -ge "$lo" ] && [ "$1" -lt "$hi" ]; then echo "$name"; fi
  done
}
"$objdump" -p "$dll" | awk '/^Export Address Table -- Ordinal Base/ { on = 1; next }
  on && NF == 0 { exit } on { gsub(/[][]/, " "); print $3, $4 }' |
while read -r ordinal rva; do
  section=$(section_of $((0x$rva)))
  case "$ordinal:$section" in
    6:.data|7:.data|6:.bss|7:.bss) ;;
    [1-5]:.text|[89]:.text) ;;
    *) echo "export $ordinal lies in ${section:-no section}"; exit 1 ;;
  esac
done || fail=1

# "dll name" for every imported name, by DLL.
imports() {
  "$objdump" -p "$1" | awk '
    /DLL Name:/ { dll = $3; next }
    /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ && dll != "" { print dll, $3 }' | sort -u
}
exe_imports=$(imports "$exe")
dll_imports=$(imports "$dll")
from_qarvel=$(echo "$exe_imports" | awk '$1 == "qarvel.dll" { print $2 }')
[ "$from_qarvel" = "do_unwind
establish_return_frame
handle_exception
invoke_callback
perform_test_unwind" ] || complain "ostrevin.exe imports from qarvel.dll:
$from_qarvel"
for pair in "ostrevin.exe:$exe_imports" "qarvel.dll:$dll_imports"; do
  file=${pair%%:*} list=${pair#*:}
  echo "$list" | grep -qx 'msvcrt.dll printf' || complain "$file does not import printf from msvcrt.dll"
  dlls=$(echo "$list" | awk '{ print $1 }' | sort -u | tr '\n' ' ')
  for d in $dlls; do
    case "$d" in
      KERNEL32.dll|msvcrt.dll) ;;
      qarvel.dll) [ "$file" = ostrevin.exe ] || complain "$file imports from $d" ;;
      *) complain "$file needs $d" ;;
    esac
  done
done
echo "$dll_imports" | grep -qx 'KERNEL32.dll RtlUnwind' || complain "qarvel.dll does not import RtlUnwind from KERNEL32.dll"
[ "$fail" = 0 ] && echo "PE tables as expected."
exit "$fail"
