#!/bin/sh
# Configuring the win32 target on a PATH without wine fails at configure
# time, naming what to install.
#   check_configure_without_wine.sh SOURCE_DIR
set -eu
src=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Every program of PATH but Wine's.
mkdir "$work/path"
IFS=:
for dir in $PATH; do
  for tool in "$dir"/*; do
    name=${tool##*/}
    case "$name" in wine*) continue ;; esac
    [ -x "$tool" ] && [ ! -e "$work/path/$name" ] && ln -s "$tool" "$work/path/$name"
  done
done
unset IFS
rc=0
PATH="$work/path" cmake -S "$src" -B "$work/build" --toolchain "$src/cmake/mingw-i686.cmake" \
  >"$work/out" 2>&1 || rc=$?
if [ "$rc" -eq 0 ]; then
  echo "configuring without wine succeeded:"; cat "$work/out"; exit 1
fi
for text in "Wine is missing" "wine32:i386"; do
  tr '\n' ' ' <"$work/out" | tr -s ' ' | grep -qF "$text" ||
    { echo "the error lacks '$text':"; cat "$work/out"; exit 1; }
done
echo "configure without wine: fails naming wine and wine32:i386"
