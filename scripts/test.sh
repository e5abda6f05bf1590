#!/usr/bin/env bash
# Installs what the build needs, then builds and runs the whole test suite in the default preset
# and under AddressSanitizer with UndefinedBehaviorSanitizer. Run from anywhere, as root.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
for preset in default asan; do
  echo "== ${preset} =="
  cmake --preset "${preset}"
  cmake --build --preset "${preset}" -j "${jobs}"
  ctest --preset "${preset}" -j "${jobs}"
done
