#!/usr/bin/env bash
# Builds the benchmarks in the default preset and runs them, one line per figure. The work files
# (a 1 GB tree and its image; then 74 minutes of audio, twice, and the images made of it: about
# 2.5 GB) live in a temporary folder under $TMPDIR that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default -j2 --target data_disc_bench image_recorder_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/kilnware-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/data" "$work/audio"
build/default/bench/data_disc_bench "$work/data" "${ROUNDS:-3}"
rm -rf "$work/data"
build/default/bench/image_recorder_bench "$work/audio" "${ROUNDS:-3}"
