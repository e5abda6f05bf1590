#!/usr/bin/env bash
# Installs the built project into a scratch prefix, builds examples/burn-folder against it through
# find_package and again through pkg-config, and burns a folder with it.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" > /dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libkilnware.so' | head -n 1)")

cmake -S "$source/examples/burn-folder" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/prefix" \
  > /dev/null
cmake --build "$work/example" > /dev/null

PKG_CONFIG_PATH="$libdir/pkgconfig" c++ -o "$work/with-pkg-config" \
  "$source/examples/burn-folder/main.cpp" $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs kilnware)

mkdir "$work/folder" "$work/out"
echo hello > "$work/folder/hello.txt"
LD_LIBRARY_PATH="$libdir" "$work/example/burn-folder" "$work/folder" "$work/out"
LD_LIBRARY_PATH="$libdir" "$work/with-pkg-config" "$work/folder" "$work/out"
ls "$work/out/Data Disc.iso" "$work/out/Data Disc 2.iso"
