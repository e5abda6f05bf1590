#!/usr/bin/env bash
# Writes a picture of every window and dialog of kilnware-desktop under build/screenshots/: the main
# window with each project (audio, mp3, data, video, image, erase), and the setup, progress,
# result and error dialogs as the desktop tests meet them; each at 1x, at 2x and in a dark theme
# (build/screenshots/{1x,2x,dark}/). Drawn offscreen: no display is needed.
#   bash scripts/screenshots.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default > /dev/null
cmake --build --preset default -j2 --target kilnware-desktop desktop_tests > /dev/null
program=$PWD/build/default/tools/desktop/kilnware-desktop
tests=$PWD/build/default/tests/desktop_tests
out=$PWD/build/screenshots
rm -rf "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The projects the pictures show.
mkdir -p "$work/Holiday/photos" "$work/Holiday/notes" "$work/music" "$work/images"
for i in 1 2 3; do head -c $((i * 400000)) /dev/urandom > "$work/Holiday/photos/beach-$i.jpg"; done
echo "A week by the sea." > "$work/Holiday/notes/diary.txt"
titles=("Morning Tide" "Harbour Lights" "Long Way Home")
for i in 0 1 2; do
  ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=$((330 + i * 110)):duration=$((40 + i * 25))" \
    -ac 2 -ar 44100 -metadata title="${titles[$i]}" -metadata artist="The Lighthouse Band" \
    -metadata album="Summer Songs" "$work/music/0$((i + 1)).flac"
  ffmpeg -nostdin -v error -i "$work/music/0$((i + 1)).flac" -b:a 128k "$work/music/0$((i + 1)).mp3"
done
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=720x576:rate=25 -t 2 -target pal-dvd -an \
  "$work/holiday.mpg"
genisoimage -quiet -J -V Holiday -o "$work/holiday.iso" "$work/Holiday"

# A screen of 3840 x 2160 pixels: offscreen's own is 800 x 800, and a dialog is never made taller
# than two thirds of its screen, which at 2x would cut the dialogs short.
echo '{"screens": [{"name": "UHD", "x": 0, "y": 0, "width": 3840, "height": 2160, "dpr": 1}]}' \
  > "$work/screen.json"
export XDG_RUNTIME_DIR=$work QT_QPA_PLATFORM=offscreen:configfile=$work/screen.json
for variant in 1x 2x dark; do
  mkdir -p "$out/$variant"
  case $variant in
    2x) env=(QT_SCALE_FACTOR=2) ;;
    dark) env=(GTK_THEME=Adwaita:dark) ;;
    *) env=() ;;
  esac
  shot() {  # NAME ARGUMENTS...
    local name=$1
    shift
    env "${env[@]}" "$program" "$@" --image-dir "$work/images" --screenshot "$out/$variant/main-$name.png"
  }
  shot audio --audio "$work"/music/*.flac
  shot mp3 --mp3 "$work"/music/*.mp3
  shot data --data "$work/Holiday"
  shot video --video "$work/holiday.mpg"
  shot image --image "$work/holiday.iso"
  shot erase --erase
  env "${env[@]}" KILNWARE_SCREENSHOTS="$out/$variant" "$tests" > "$work/tests.log" 2>&1 ||
    { cat "$work/tests.log"; exit 1; }
done
ls "$out"/*/*.png
