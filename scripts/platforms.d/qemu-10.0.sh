# qemu-user 10.0 from Debian 12's backports: its static qemu-i386, unpacked
# from the package into the cache; nothing is installed.
. "$top/scripts/lib/debian.sh"
. "$top/scripts/lib/qemu10.sh"
title="qemu-user 10.0 (Debian 12 backports)"
target=linux
cost="63 MB downloaded once (apt-get download and dpkg-deb -x into the cache); seconds"
qemu=$qemu10
set_up() { fetch_qemu10; }
qemu_version() { "$qemu" --version | sed -n '1s/^qemu-i386 version //p'; }
platform_version() { qemu_version; }
judge_on() { program=$1; shift; "$judge" "$@" qemu --qemu "$qemu" linux "$program"; }
