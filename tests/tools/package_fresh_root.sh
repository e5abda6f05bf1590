#!/usr/bin/env bash
# Installs the Debian packages of the build with apt into a fresh Debian 12 root, as a person
# would on a new machine, and uses them there: lintian finds no error in them, the command burns
# an MP3 audio CD (FFmpeg's libraries, which the library loads at run time, came with the
# packages), and the example host builds with pkg-config and with CMake from libkilnware-dev
# alone. Needs root, mmdebstrap and the Debian package mirror.
#   package_fresh_root.sh BUILD SOURCE
# The root before the packages (Debian 12 with a compiler, CMake and pkg-config) is made once and
# kept in BUILD/fresh-debian12/, as are the packages apt fetches for it; every run unpacks it anew.
set -euo pipefail
build=$1
source=$2
cache=$build/fresh-debian12
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[ "$(id -u)" -eq 0 ] || { echo "package_fresh_root.sh: needs root (chroot)" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/packages" > "$work/cpack.log" ||
  { cat "$work/cpack.log"; exit 1; }
packages=("$work"/packages/*.deb)

# Debian's policy, as lintian checks it: no errors (warnings are advice).
lintian "${packages[@]}" > "$work/lintian.log" 2>&1 || true
if grep -q '^E: ' "$work/lintian.log"; then
  grep '^E: ' "$work/lintian.log" >&2
  exit 1
fi

mkdir -p "$cache/archives"
if [ ! -s "$cache/base.tar" ]; then
  mmdebstrap --quiet --format=tar --variant=apt --include=g++,make,cmake,pkg-config bookworm \
    "$cache/base.tar.part" /etc/apt/sources.list.d/debian.sources
  mv "$cache/base.tar.part" "$cache/base.tar"
fi
root=$work/root
mkdir "$root"
tar -xf "$cache/base.tar" -C "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir "$root/packages" "$root/src" "$root/out"
cp "${packages[@]}" "$root/packages/"
cp -r "$source/examples" "$root/src/"
mkdir -p "$root/src/tests/tools"
cp "$source/tests/tools/example_host.sh" "$root/src/tests/tools/"
cp "$cache"/archives/*.deb "$root/var/cache/apt/archives/" 2> /dev/null || true
# A song as a person has it.
ffmpeg -nostdin -v error -f lavfi -i sine=frequency=440:duration=5 -ac 2 -ar 44100 \
  -codec:a libmp3lame "$root/song.mp3"

# In a mount namespace of its own, so that /proc and /dev go when it ends.
inside() {
  unshare --mount --fork -- bash -euo pipefail -c '
    root=$1; shift
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
      DEBIAN_FRONTEND=noninteractive "$@"' inside "$root" "$@"
}

inside apt-get -qq update
# libkilnware-dev first, alone: pkg-config and the CMake package must work with it and what it
# depends on, nothing more.
inside apt-get -qq install -y --no-install-recommends \
  "/packages/$(basename "$work"/packages/libkilnware-dev_*.deb)" \
  "/packages/$(basename "$work"/packages/libkilnware1_*.deb)" \
  > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
inside pkg-config --cflags --libs kilnware > /dev/null
inside bash /src/tests/tools/example_host.sh /src /usr
inside apt-get -qq install -y --no-install-recommends "/packages/$(basename "$work"/packages/kilnware_*.deb)" \
  > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
cp -n "$root"/var/cache/apt/archives/*.deb "$cache/archives/" 2> /dev/null || true

inside kilnware audio /song.mp3 --yes --image-dir /out > "$work/burn.log" 2>&1 ||
  { cat "$work/burn.log"; exit 1; }
ls "$root/out/"*.bin "$root/out/"*.cue > /dev/null
# 5 seconds of CD audio: 44100 frames of 4 bytes a second.
size=$(stat -c %s "$root/out/"*.bin)
[ "$size" -ge $((5 * 44100 * 4)) ] || { echo "the audio CD holds $size bytes" >&2; exit 1; }
ls "$root/usr/share/man/man1/kilnware.1.gz" > /dev/null
echo "installed with apt into a fresh Debian 12 root: MP3 burned, example host built"
