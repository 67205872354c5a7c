# Wine 10.0 of Debian 13: an i386 Debian 13 tree (debootstrap) in the cache
# with wine and wine32 installed inside. Programs run in it through chroot,
# in a mount namespace of their own (the build bound read-only at
# /mnt/ostrevin, the tree's own /proc and /dev), with a private prefix in
# the tree: nothing on the host changes.
. "$here/debian.sh"
title="Wine 10.0 (Debian 13, an i386 tree)"
target=win32
exe=.exe
cost="about 380 MB downloaded and a few minutes the first time (debootstrap, then wine inside); needs root; seconds after"
tree=$OSTREVIN_CACHE/debian13-i386
ready=$tree/.ostrevin-ready
set_up() {
  [ "$(id -u)" -eq 0 ] || cannot "needs root (debootstrap, chroot and mount namespaces)"
  [ -f "$ready" ] && return 0
  ensure_packages platforms debootstrap || cannot "debootstrap is missing and cannot be installed here"
  if [ ! -f "$tree/.debootstrapped" ]; then
    mirror=$(debian_mirror) || cannot "no Debian mirror in this machine's apt sources (set OSTREVIN_DEBIAN_MIRROR)"
    rm -rf "$tree"
    debootstrap --variant=minbase --arch=i386 trixie "$tree" "$mirror" >&2 ||
      cannot "debootstrap of Debian 13 (i386) failed"
    touch "$tree/.debootstrapped"
  fi
  in_tree sh -c 'apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q install -y --no-install-recommends wine wine32 && apt-get clean' >&2 ||
    cannot "installing wine and wine32 in the Debian 13 tree failed"
  in_tree_wine wineboot -i </dev/null >/dev/null 2>&1
  in_tree_wine wineserver -w </dev/null >/dev/null 2>&1
  [ -f "$tree/var/lib/ostrevin/prefix/system.reg" ] || cannot "wineboot made no prefix in the Debian 13 tree"
  touch "$ready"
}

# in_tree COMMAND...: runs COMMAND in the tree, in a mount namespace of its
# own (in place of this shell when in_tree_exec is exec).
in_tree_exec=
in_tree() {
  mkdir -p "$tree/mnt/ostrevin"
  $in_tree_exec unshare --mount --propagation private sh -c '
    tree=$1 build=$2
    shift 2
    mount -t proc proc "$tree/proc" &&
    mount --rbind /dev "$tree/dev" &&
    mount --bind "$build" "$tree/mnt/ostrevin" &&
    mount -o remount,bind,ro "$tree/mnt/ostrevin" &&
    exec chroot "$tree" "$@"' in-tree "$tree" "$OSTREVIN_WIN32_BUILD" "$@"
}
in_tree_wine() {
  mkdir -p "$tree/var/lib/ostrevin/prefix"
  in_tree env HOME=/root WINEPREFIX=/var/lib/ostrevin/prefix WINEDEBUG=-all DISPLAY= \
    WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" "$@"
}
platform_version() { in_tree wine --version; }
run_one() {
  in_tree_wine wineserver -p10 </dev/null >/dev/null 2>&1
  in_tree_exec="exec"
  in_tree_wine wine "/mnt/ostrevin/bin/${1##*/}"
}
