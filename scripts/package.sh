#!/usr/bin/env bash
# Builds the Debian packages libkilnware1, libkilnware-dev and kilnware into build/packages/
# (an optimised build for /usr, tests left out), and lists them. Run from anywhere, as root (it
# installs what is needed first).
#   bash scripts/package.sh
#   sudo apt install ./build/packages/*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/release
out=$root/build/packages

bash "$root/scripts/install-deps.sh"

# -O2 -g as Debian builds (CPack strips the files); a distribution build does not stop at a warning
# that a newer compiler finds.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DKILNWARE_BUILD_TESTS=OFF -DKILNWARE_WARNINGS_AS_ERRORS=OFF
cmake --build "$build" -j "${JOBS:-2}"
rm -rf "$out"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out"
rm -rf "$out/_CPack_Packages"
for package in "$out"/*.deb; do
  echo "== $package"
  dpkg-deb -f "$package" Package Version Depends Recommends
done
