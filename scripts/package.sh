#!/usr/bin/env bash
# Builds the Debian packages libkilnware0, libkilnware-dev and kilnware into build/packages/
# (a release build for /usr, tests left out), and lists them. Run from anywhere, as root (it
# installs what is needed first).
#   bash scripts/package.sh
#   sudo apt install ./build/packages/*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/release
out=$root/build/packages

bash "$root/scripts/install-deps.sh"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKILNWARE_BUILD_TESTS=OFF
cmake --build "$build" -j "${JOBS:-2}"
rm -rf "$out"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out"
rm -rf "$out/_CPack_Packages"
for package in "$out"/*.deb; do
  echo "== $package"
  dpkg-deb -f "$package" Package Version Depends Recommends
done
