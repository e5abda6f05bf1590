#!/usr/bin/env bash
# Builds examples/burn-folder against an installed Kilnware through find_package and again through
# pkg-config, and burns a folder with it; checks that the CMake package alone brings C++20 and that
# the umbrella header reaches every installed header.
#   example_host.sh SOURCE PREFIX     PREFIX: where Kilnware is installed (the packages' root)
set -euo pipefail
source=$1
prefix=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
libdir=$(dirname "$(find "$prefix" -name 'libkilnware.so' | head -n 1)")
includedir=$prefix/include

cmake -S "$source/examples/burn-folder" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" \
  > /dev/null
cmake --build "$work/example" > /dev/null

PKG_CONFIG_PATH="$libdir/pkgconfig" c++ -o "$work/with-pkg-config" \
  "$source/examples/burn-folder/main.cpp" $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs kilnware)

mkdir "$work/folder" "$work/out"
echo hello > "$work/folder/hello.txt"
LD_LIBRARY_PATH="$libdir" "$work/example/burn-folder" "$work/folder" "$work/out"
LD_LIBRARY_PATH="$libdir" "$work/with-pkg-config" "$work/folder" "$work/out"
ls "$work/out/Data Disc.iso" "$work/out/Data Disc 2.iso"
# Nothing to burn: the host is told why, in words.
said=$(LD_LIBRARY_PATH="$libdir" "$work/example/burn-folder" "$work/nothere" "$work/out" || true)
[[ $said == "not burned: The data disc cannot be laid out: $work/nothere does not exist." ]] || {
  echo "the example host was not told why: $said" >&2
  exit 1
}

# A host that asks for no language level of its own: Kilnware::kilnware carries C++20.
mkdir "$work/plain"
cat > "$work/plain/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(Plain LANGUAGES CXX)
find_package(Kilnware REQUIRED)
add_executable(plain main.cpp)
target_link_libraries(plain PRIVATE Kilnware::kilnware)
CMAKE
printf '#include <kilnware/Kilnware.h>\nint main() { return kilnware::VXTimeFormat ? 0 : 1; }\n' \
  > "$work/plain/main.cpp"
cmake -S "$work/plain" -B "$work/plain/build" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/plain/build" > /dev/null
LD_LIBRARY_PATH="$libdir" "$work/plain/build/plain"

# Every installed header is reached from the umbrella header.
reached=$(echo '#include <kilnware/Kilnware.h>' |
  c++ -std=c++20 -I"$includedir" -x c++ -fsyntax-only -H - 2>&1 | grep -o 'kilnware/.*\.h' | sort -u)
missing=$(cd "$includedir" && find kilnware -name '*.h' | sort | comm -23 - <(echo "$reached"))
if [ -n "$missing" ]; then
  echo "kilnware/Kilnware.h does not include: $missing" >&2
  exit 1
fi
