# A real 32-bit kernel: Debian 12's linux-image-686 booted by
# qemu-system-i386 (TCG) with a small initramfs holding the programs, their
# libraries and an init (vm-init.c) that prints their output and powers off.
title="Linux 686 (Debian 12) on qemu-system-i386 (TCG)"
target=linux
note="qemu-system-i386 raises the x87 exceptions (the kernel gets #MF at the fwait), but keeps no address of the last x87 instruction (its FXSAVE, and its FNSAVE with FXSR off, store 0 there) and sets no flag for a denormal operand or a stack fault: each X10 check differs, the emulator's (see \"x87 exceptions on emulators\" in docs/deviations.md); every other check of the situations it raises is ok."
cost="qemu-system-x86 and cpio installed, about 70 MB; a kernel package (52 MB) downloaded once; about 10 s a run"
vm=$OSTREVIN_CACHE/linux-686
set_up() {
  ensure_packages platforms qemu-system-x86 cpio ||
    cannot "qemu-system-x86 or cpio is missing and cannot be installed here"
  if [ ! -f "$vm/vmlinuz" ]; then
    kernel=$(apt-cache depends linux-image-686:i386 2>/dev/null |
      awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { sub(/:i386$/, "", $2); print $2; exit }')
    [ -n "$kernel" ] || cannot "apt knows no linux-image-686:i386 (is i386 enabled, and the lists read?)"
    mkdir -p "$vm/debs"
    rm -f "$vm/debs"/*.deb
    (cd "$vm/debs" && apt-get -q -o APT::Sandbox::User="$(id -un)" download "$kernel:i386") >&2 || cannot "apt-get download $kernel:i386 failed"
    set -- "$vm/debs"/*.deb
    dpkg-deb --fsys-tarfile "$1" | tar -x -C "$vm/debs" --wildcards './boot/vmlinuz-*' ||
      cannot "cannot unpack the kernel from $1"
    echo "$(dpkg-deb -f "$1" Package) $(dpkg-deb -f "$1" Version)" >"$vm/version"
    mv "$vm/debs"/boot/vmlinuz-* "$vm/vmlinuz"
    rm -rf "$vm/debs"
  fi
  if [ ! -x "$vm/init" ] || [ -n "$(find "$here/vm-init.c" -newer "$vm/init")" ]; then
    gcc -m32 -static -O2 -Wall -o "$vm/init" "$here/vm-init.c" || cannot "cannot build the init (gcc -m32 -static)"
  fi
}
platform_version() {
  echo "$(cat "$vm/version") on qemu-system-i386 $(qemu-system-i386 --version | sed -n '1s/^QEMU emulator version //p')"
}

# Every program runs in one boot, the first time the judge asks for any;
# the judge is then given the runs as saved in the machine (its saved
# platform).
judge_on() {
  program=$1
  shift
  if [ ! -f "$dir/booted" ]; then
    ( boot "$program" "${program%/*}/unwind-contract" "${program%/*}/dispatch-contract" ) &&
      : >"$dir/booted"
  fi
  "$judge" "$@" saved "$dir"
}

# boot PROGRAM...: runs every program in one boot: an initramfs with the
# build's bin/ folder (the libraries beside the programs), the system
# libraries they load (ldd runs the i386 loader, so through in_i386), the
# init and the list of programs.
boot() {
  root=$dir/initramfs
  rm -rf "$root"
  mkdir -p "$root/ostrevin"
  cp "$vm/init" "$root/init"
  : >"$root/programs"
  for program; do
    [ -f "$program" ] || continue
    cp "$program" "$root/ostrevin/"
    echo "${program##*/}" >>"$root/programs"
  done
  cp "${1%/*}"/*.so "$root/ostrevin/"
  for file in "$root/ostrevin"/*; do
    "$in_i386" ldd "$file" 2>/dev/null | awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^\//) print $i }'
  done | sort -u | while read -r lib; do
    case "$lib" in "${1%/*}"/*) continue ;; esac
    mkdir -p "$root${lib%/*}"
    cp -L "$lib" "$root$lib"
  done
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$dir/initramfs.gz"
  rc=0
  timeout --kill-after=5 300 qemu-system-i386 -accel tcg -cpu max -m 256 -display none \
    -monitor none -no-reboot -serial "file:$dir/console" \
    -kernel "$vm/vmlinuz" -initrd "$dir/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=0 panic=-1 rdinit=/init" </dev/null >"$dir/qemu.log" 2>&1 || rc=$?
  for program; do
    [ -f "$program" ] || continue
    base=${program##*/}
    awk -v name="$base" -v dir="$dir" -v rc="$rc" '
      $0 == "==== begin " name { part = "out"; next }
      $0 == "==== stderr " name { part = "err"; next }
      index($0, "==== end " name " ") == 1 { status = $4; part = ""; next }
      part != "" { print > (dir "/" name "." part) }
      END {
        # As the judge saves a run: never begun or never ended, the machine
        # died (125) or hung (124: the time-out); init gives a signal as 128
        # plus its number.
        if (status == "") {
          status = rc == 124 ? "hung 300" : 125
          print "the virtual machine stopped before " name " ended (qemu-system-i386 exit status " rc ")" >> (dir "/" name ".err")
        } else if (status > 128) {
          status = "signal " (status - 128)
        }
        print status > (dir "/" name ".status")
      }' "$dir/console"
    touch "$dir/$base.out" "$dir/$base.err"
  done
}
