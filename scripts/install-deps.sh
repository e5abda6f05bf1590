#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and running Kilnware needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang-format
  # tests
  googletest libgtest-dev libgmock-dev
  # recording, images and audio; genisoimage makes UDF images at run time
  libburn-dev libisofs-dev libisoburn-dev libsndfile1-dev libsoxr-dev libudev-dev genisoimage
  # the MD5 sums of data images
  libssl-dev
  # decoding every audio format users keep, and reading their tags
  libavformat-dev libavcodec-dev libavutil-dev
  # the tests sort names as a person's language does: en_US.UTF-8, generated below
  locales
  # reading images back in the tests: isoinfo (genisoimage), udfinfo, 7-Zip (UDF, HFS+, Joliet),
  # xorriso (sessions and MD5 tags, and Rock Ridge as Linux reads it: links, owners, relocated
  # folders); cdrdao and bchunk read cue sheets and split BIN files; flac and lame encode as
  # rippers do
  udftools 7zip xorriso cdrdao bchunk flac lame
  # the fuzz preset: clang, libFuzzer's runtime, and llvm-symbolizer for the reports of findings
  clang libclang-rt-14-dev llvm
  # benchmarks: the peak memory of a whole process (bench/run.sh)
  time
  # the command-line host
  libcli11-dev nlohmann-json3-dev
  # the desktop host (Qt 6 Widgets); its tests draw offscreen, and one presses its buttons through
  # the accessibility bus under Xvfb (AT-SPI, from Python); its desktop entry and metainfo are
  # checked with the freedesktop tools; its icon sizes are drawn from the SVG with rsvg-convert
  qt6-base-dev qt6-base-dev-tools libgl-dev xvfb xauth dbus dbus-x11 at-spi2-core python3-pyatspi
  desktop-file-utils appstream librsvg2-bin
  # video DVDs: the programs the stand-ins run, and what their tests make clips with and read back
  dvdauthor ffmpeg libdvdread-dev
  # Debian packages (CPack runs dpkg-shlibdeps and file), the ABI check, and the checks of the
  # manual page and the bash and zsh completions
  dpkg-dev file abigail-tools groff-base man-db zsh
  # the packages' test: a fresh Debian 12 root to install them into, and Debian's policy checker
  mmdebstrap lintian
)

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps.sh: run as root (it calls apt-get)" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
  sed -i 's/^# *en_US.UTF-8/en_US.UTF-8/' /etc/locale.gen
  locale-gen
fi
