#!/usr/bin/env bash
# Makes the Debian packages of the build, unpacks them into a fresh root (nothing of the build tree
# is reachable from there), checks their dependencies, runs the installed command, data disc and
# video DVD (the stand-ins found beside the relocated library), and builds a host against them.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset KILNWARE_STANDIN_DIR

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/packages" > "$work/cpack.log" ||
  { cat "$work/cpack.log"; exit 1; }
shopt -s nullglob
packages=("$work"/packages/*.deb)
[ "${#packages[@]}" -eq 4 ] || { echo "expected 4 packages: ${packages[*]}" >&2; exit 1; }

field() {  # PACKAGE FIELD
  dpkg-deb -f "$(ls "$work"/packages/"$1"_*.deb)" "$2"
}
expect() {  # TEXT PATTERN WHAT
  grep -Eq "$2" <<< "$1" || { echo "$3: '$1' does not match '$2'" >&2; exit 1; }
}
expect "$(field libkilnware1 Depends)" '(^|, )genisoimage' "libkilnware1 Depends"
expect "$(field libkilnware1 Depends)" 'libburn' "libkilnware1 Depends (shlibdeps)"
expect "$(field libkilnware1 Recommends)" 'dvdauthor' "libkilnware1 Recommends"
# FFmpeg's libraries are loaded with dlopen: no tool finds them, the package names them.
for ffmpeg_library in libavutil libavcodec libavformat; do
  expect "$(field libkilnware1 Depends)" "(^|, )${ffmpeg_library}[0-9]+( |,|$)" \
    "libkilnware1 Depends ($ffmpeg_library)"
done
expect "$(field libkilnware-dev Depends)" 'libkilnware1 \(= ' "libkilnware-dev Depends"
expect "$(field kilnware Depends)" 'libkilnware1 \(= ' "kilnware Depends"
expect "$(dpkg-deb -c "$(ls "$work"/packages/libkilnware1_*.deb)")" 'libexec/kilnware/kilnware-hdiutil' \
  "libkilnware1 contents"
expect "$(dpkg-deb -c "$(ls "$work"/packages/kilnware_*.deb)")" 'share/man/man1/kilnware\.1' \
  "kilnware contents"
expect "$(field kilnware-desktop Depends)" 'libkilnware1 \(= ' "kilnware-desktop Depends"
expect "$(field kilnware-desktop Depends)" 'libqt6widgets6' "kilnware-desktop Depends (shlibdeps)"
desktop_files=$(dpkg-deb -c "$(ls "$work"/packages/kilnware-desktop_*.deb)")
for file in bin/kilnware-desktop share/applications/kilnware-desktop\.desktop \
  share/metainfo/io\.kilnware\.Desktop\.metainfo\.xml \
  share/icons/hicolor/scalable/apps/kilnware-desktop\.svg \
  share/icons/hicolor/48x48/apps/kilnware-desktop\.png; do
  expect "$desktop_files" "$file" "kilnware-desktop contents"
done

root=$work/root
for package in "${packages[@]}"; do
  dpkg-deb -x "$package" "$root"
done
command=$root/usr/bin/kilnware
expect "$("$command" --version)" "^kilnware [0-9]+\.[0-9]+\.[0-9]+$" "kilnware --version"
ls "$root/usr/share/bash-completion/completions/kilnware" \
  "$root/usr/share/zsh/vendor-completions/_kilnware" > /dev/null

mkdir "$work/folder" "$work/out"
echo hello > "$work/folder/hello.txt"
"$command" data "$work/folder" --name Relocated --yes --image-dir "$work/out" > /dev/null
ls "$work/out/Relocated.iso" > /dev/null

# The video DVD runs both stand-ins from the unpacked libexec/kilnware/.
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=720x576:rate=25 -t 1 -target pal-dvd -an \
  "$work/clip.mpg"
"$command" video "$work/clip.mpg" --title Moved --yes --image-dir "$work/out" > /dev/null
ls "$work/out/Moved.iso" > /dev/null

# The desktop program starts from the unpacked tree and shows its window with a data disc.
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work "$root/usr/bin/kilnware-desktop" \
  --data "$work/folder" --image-dir "$work/out" --screenshot "$work/window.png" 2> "$work/desktop.log" ||
  { cat "$work/desktop.log"; exit 1; }
expect "$(file -b "$work/window.png")" '^PNG image data' "kilnware-desktop --screenshot"

bash "$source/tests/tools/example_host.sh" "$source" "$root/usr"
