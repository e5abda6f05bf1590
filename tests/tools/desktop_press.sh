#!/usr/bin/env bash
# Starts kilnware-desktop --data DIR under Xvfb with the accessibility bus on, and presses Burn,
# the image recorder and Burn again as a user would (tests/tools/desktop_press.py); passes when the
# disc image is written.
#   desktop_press.sh PROGRAM SOURCE
set -euo pipefail
program=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Trip/photos" "$work/images" "$work/home"
head -c 200000 /dev/urandom > "$work/Trip/photos/one.jpg"
echo "a day by the sea" > "$work/Trip/notes.txt"

chmod 700 "$work/home"
export HOME=$work/home XDG_RUNTIME_DIR=$work/home
# Qt offers its accessibility tree on the bus whether or not a screen reader runs.
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 NO_AT_BRIDGE=0
unset QT_QPA_PLATFORM

# Where there is no display (over ssh), help is still answered, and the start says why it fails.
env -u DISPLAY -u WAYLAND_DISPLAY "$program" --help | grep -q -- "--data PATH\|--data "
if env -u DISPLAY -u WAYLAND_DISPLAY "$program" --data "$work/Trip" 2> "$work/no-display.log"; then
  echo "kilnware-desktop started without a display" >&2
  exit 1
fi
grep -q "needs a display" "$work/no-display.log" || { cat "$work/no-display.log" >&2; exit 1; }
# -a alone starts its search at display 99 in every run: two at once may pick the same one.
xvfb-run -a -n $((100 + $$ % 5000)) -s "-screen 0 1280x1024x24" dbus-run-session -- bash -c '
  "$1" --data "$2/Trip" --image-dir "$2/images" 2> "$2/program.log" &
  program=$!
  status=0
  /usr/bin/python3 "$3/tests/tools/desktop_press.py" "$2/images" || status=$?
  kill "$program" 2> /dev/null || true
  wait "$program" 2> /dev/null || true
  [ "$status" -eq 0 ] || cat "$2/program.log" >&2
  exit "$status"
' press "$program" "$work" "$source"
