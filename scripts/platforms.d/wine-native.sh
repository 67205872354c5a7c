# The host's Wine (Debian 12) on this host's kernel: the Wine that the win32
# tests run. On a kernel that runs no i386 programs, scripts/with-i386 runs
# it on its own qemu-i386: the row says so.
title="Wine (Debian 12), this host's kernel"
target=win32
exe=.exe
cost="the host's Wine (./scripts/setup-deps installs it); seconds"
wine_prefix=$OSTREVIN_CACHE/wine-native/prefix
set_up() {
  command -v wine >/dev/null 2>&1 || cannot "no wine on PATH (Debian's wine)"
  if [ ! -f "$wine_prefix/system.reg" ]; then
    mkdir -p "$wine_prefix"
    env WINEPREFIX="$wine_prefix" WINEDEBUG=-all DISPLAY= \
      WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" \
      "$in_i386" sh -c 'wine wineboot -i && wineserver -w' </dev/null >/dev/null 2>&1
    [ -f "$wine_prefix/system.reg" ] || cannot "wineboot made no prefix in $wine_prefix"
  fi
}
platform_version() {
  version=$("$in_i386" wine --version 2>/dev/null)
  if "$in_i386" --native; then
    echo "$version on $(uname -s) $(uname -r) $(uname -m)"
  else
    echo "$version on $(uname -s) $(uname -r) $(uname -m), whose kernel runs no i386 programs: they ran on qemu-i386"
  fi
}
judge_on() {
  program=$1
  shift
  "$judge" "$@" wine --wine wine --prefix "$wine_prefix" "$program"
}
