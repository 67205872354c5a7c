# qemu-user 10.0 from Debian 12's backports: its static qemu-i386, unpacked
# from the package into the cache; nothing is installed. Sourced; needs
# OSTREVIN_CACHE, the functions of debian.sh, and a function `cannot` that
# reports why and fails.
qemu10_root=$OSTREVIN_CACHE/qemu-10.0
qemu10=$qemu10_root/usr/bin/qemu-i386
fetch_qemu10() {
  [ -x "$qemu10" ] && return 0
  private_apt_for bookworm-backports || return 1
  debs=$OSTREVIN_CACHE/debs
  mkdir -p "$debs"
  rm -f "$debs"/qemu-user_*.deb
  (cd "$debs" && private_apt download qemu-user/bookworm-backports) >&2 ||
    cannot "apt-get download qemu-user/bookworm-backports failed"
  set -- "$debs"/qemu-user_*.deb
  # Only qemu-i386 (static) is kept of the package's emulators.
  rm -rf "$qemu10_root.new"
  mkdir -p "$qemu10_root.new"
  dpkg-deb --fsys-tarfile "$1" | tar -x -C "$qemu10_root.new" ./usr/bin/qemu-i386 ||
    cannot "cannot unpack usr/bin/qemu-i386 from $1"
  rm -rf "$qemu10_root" && mv "$qemu10_root.new" "$qemu10_root" && rm -f "$1"
}
