#!/usr/bin/env bash
# The main job on the image recorder: installs what is needed, builds, burns a sample folder to a
# data disc image and a short generated audio CD with CD-Text to BIN/CUE, then lists what it wrote.
# Run from anywhere, as root.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"

kilnware=build/default/tools/kilnware/kilnware
work=build/demo
rm -rf "$work"
mkdir -p "$work/sample" "$work/out"

# A sample folder: the project's own documents.
cp -r README.md docs "$work/sample/"
# Two short tones, generated.
ffmpeg -loglevel error -f lavfi -i "sine=frequency=440:duration=4" -ar 44100 -ac 2 "$work/a.wav"
ffmpeg -loglevel error -f lavfi -i "sine=frequency=660:duration=5" -ar 44100 -ac 2 "$work/b.wav"

"$kilnware" data "$work/sample" --name "Kilnware Sample" --yes --image-dir "$work/out"
"$kilnware" audio "$work/a.wav" "$work/b.wav" --cd-text --title "Kilnware Tones" \
  --performer "Kilnware" --track-title "A" --track-title "E" --yes --image-dir "$work/out"

echo
echo "Written to $work/out:"
ls -l "$work/out"
