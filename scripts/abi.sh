#!/usr/bin/env bash
# The ABI of libkilnware is kept on purpose: abi/libkilnware.abi records every exported function and
# variable and the public types they use (abidw), and the test Abi.MatchesTheRecordedDump compares
# the built library with it (abidiff).
#
#   bash scripts/abi.sh check  LIBRARY   fails, telling the differences, when the ABI changed
#   bash scripts/abi.sh update LIBRARY   records the ABI of LIBRARY (e.g. build/default/lib/libkilnware.so)
#
# Adding to the ABI is fine: record it with update. Removing or changing anything breaks the hosts
# built against the library: record it, and raise the SONAME (the project's major version) too.
set -euo pipefail
mode=${1:-}
library=${2:-}
root=$(cd "$(dirname "$0")/.." && pwd)
dump=$root/abi/libkilnware.abi
headers=$root/include/kilnware
if [ -z "$library" ] || [ ! -f "$library" ]; then
  echo "usage: bash scripts/abi.sh check|update BUILT-LIBRARY" >&2
  exit 2
fi

case $mode in
update)
  mkdir -p "$(dirname "$dump")"
  abidw --headers-dir "$headers" --drop-private-types --exported-interfaces-only \
    --drop-undefined-syms --no-elf-needed --no-corpus-path --no-comp-dir-path --no-show-locs \
    --type-id-style hash --out-file "$dump" "$library"
  echo "recorded the ABI of $library in $dump"
  ;;
check)
  status=0
  abidiff --headers-dir2 "$headers" --drop-private-types --exported-interfaces-only \
    --no-show-locs "$dump" "$library" || status=$?
  if [ "$status" -ne 0 ]; then
    cat >&2 <<MESSAGE
The exported ABI of $library differs from abi/libkilnware.abi (above).
If the change is meant, record it and commit the dump:
    bash scripts/abi.sh update $library
If it removes or changes anything (not only adds), hosts built against the library break: raise
the SONAME too (the major number of the project's VERSION in CMakeLists.txt).
MESSAGE
    exit 1
  fi
  ;;
*)
  echo "usage: bash scripts/abi.sh check|update BUILT-LIBRARY" >&2
  exit 2
  ;;
esac
