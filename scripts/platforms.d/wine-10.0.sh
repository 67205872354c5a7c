# Wine 10.0 of Debian 13: an i386 Debian 13 tree (debootstrap) in the cache
# with wine and wine32 installed inside. The judge's wine --root runs the
# programs in it, chrooted in a mount namespace of their own, with a prefix
# of their own in the cache: nothing on the host changes.
. "$top/scripts/lib/debian.sh"
title="Wine 10.0 (Debian 13, an i386 tree)"
target=win32
exe=.exe
cost="about 380 MB downloaded and a few minutes the first time (debootstrap, then wine inside); needs root; seconds after"
tree=$OSTREVIN_CACHE/debian13-i386
wine_prefix=$OSTREVIN_CACHE/wine-10.0/prefix
set_up() {
  [ "$(id -u)" -eq 0 ] || cannot "needs root (debootstrap, and apt-get in the tree)"
  [ -f "$tree/.ostrevin-ready" ] && return 0
  ensure_packages platforms debootstrap || cannot "debootstrap is missing and cannot be installed here"
  if [ ! -f "$tree/.debootstrapped" ]; then
    mirror=$(debian_mirror) || cannot "no Debian mirror in this machine's apt sources (set OSTREVIN_DEBIAN_MIRROR)"
    rm -rf "$tree"
    # The first stage unpacks and makes the device nodes, running nothing of
    # the tree; the second runs the tree's i386 programs, where they run
    # (with-i386's namespace, where no device node can be made: debootstrap
    # is told, as in a container, to use the host's /dev).
    debootstrap --foreign --variant=minbase --arch=i386 trixie "$tree" "$mirror" >&2 &&
      "$in_i386" env container=lxc chroot "$tree" /debootstrap/debootstrap --second-stage >&2 ||
      cannot "debootstrap of Debian 13 (i386) failed"
    touch "$tree/.debootstrapped"
  fi
  "$in_i386" unshare --mount --propagation private sh -c '
    mount --rbind /proc "$1/proc" && mount --rbind /dev "$1/dev" &&
    exec chroot "$1" sh -c "apt-get -q update &&
      DEBIAN_FRONTEND=noninteractive apt-get -q install -y --no-install-recommends wine wine32 &&
      apt-get clean"' in-tree "$tree" >&2 ||
    cannot "installing wine and wine32 in the Debian 13 tree failed"
  touch "$tree/.ostrevin-ready"
}
# As wine --version prints it, from the tree's package database.
platform_version() {
  version=$(dpkg-query --admindir="$tree/var/lib/dpkg" -W -f='${Version}' wine32:i386)
  echo "wine-${version%%~*} (Debian $version)"
}
judge_on() {
  program=$1
  shift
  "$judge" "$@" wine --root "$tree" --prefix "$wine_prefix" "$program"
}
