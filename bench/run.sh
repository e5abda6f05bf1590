#!/usr/bin/env bash
# Measures the `kilnware` command against the programs a person would use for the same job and
# prints one table: each figure, Kilnware's median, the peer's, their ratio, the goal and whether
# it is met. Every side is a whole process, timed from the outside; one untimed run of each side
# first warms the page cache for both, then ROUNDS rounds (default 5) run the sides in turn, each
# round starting with the next side, so that neither always goes first.
# Where the peer does not sync its output, Kilnware runs with its fsync stubbed out (LD_PRELOAD),
# so that neither side syncs; the synced figures compare Kilnware as it ships with peer + sync.
# The data figures' peer is xorriso with its MD5 tags (xorrisofs --md5): every data image Kilnware
# writes carries the same tags, of the session and of each file, and summing 640 MB twice takes
# more time than genisoimage, which sums nothing, takes to write it. genisoimage stands beside
# them for comparison, without a goal.
#
#   bash bench/run.sh          ROUNDS=1 bash bench/run.sh   (a quick look)
#   FIGURES=1,2,3 bash bench/run.sh                          (only those figures)
#
# The work files live in one folder under $TMPDIR that is removed at exit; each tree and its images
# go as soon as their figure is done. The most on disk at once is about 9 GB (figure 9).
set -euo pipefail
export LC_ALL=C  # a decimal point in $EPOCHREALTIME and in awk
cd "$(dirname "$0")/.."
rounds=${ROUNDS:-5}
figures=${FIGURES:-1,2,3,4,5,6,7,8,9,10,11}
wanted() { [[ ",$figures," == *",$1,"* ]]; }

cmake --preset default >/dev/null
cmake --build --preset default -j2 --target kilnware-cli >/dev/null
kilnware=$PWD/build/default/tools/kilnware/kilnware

work=$(mktemp -d "${TMPDIR:-/tmp}/kilnware-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
out=$work/out
mkdir "$out"
note() { echo "bench: $*" >&2; }

# --- Measuring ----------------------------------------------------------------------------------

declare -A seconds rss bytes  # per side: its times and peak RSS (KiB), space-separated; its output
peak=0

# Runs a command with its output in a log, and keeps the largest peak RSS seen in $peak.
quiet() {
    if ! /usr/bin/time -f %M -o "$work/rss" "$@" >"$work/log" 2>&1; then
        note "$* failed:"
        cat "$work/log" >&2
        exit 1
    fi
    local kib
    kib=$(tail -n 1 "$work/rss")
    ((kib > peak)) && peak=$kib
    return 0
}

# Runs the side $1 (a function) once and records its wall time, peak RSS and output size, then
# empties the output folder.
once() {
    peak=0
    local start=$EPOCHREALTIME
    "$1"
    local end=$EPOCHREALTIME
    seconds[$1]+="$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }') "
    rss[$1]+="$peak "
    bytes[$1]=$(find "$out" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }')
    rm -rf "${out:?}"/*
}

# Measures the sides $@ against each other.
compare() {
    local sides=("$@") side round i
    for side in "${sides[@]}"; do
        once "$side"
        seconds[$side]="" rss[$side]=""
    done
    for ((round = 0; round < rounds; round++)); do
        for ((i = 0; i < ${#sides[@]}; i++)); do
            once "${sides[(round + i) % ${#sides[@]}]}"
        done
    done
}

median() {
    tr ' ' '\n' <<<"$1" | grep . | sort -g |
        awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
time_of() { median "${seconds[$1]}"; }
mib_of() { awk -v k="$(median "${rss[$1]}")" 'BEGIN { print k / 1024 }'; }
# Bytes a second, in MB, of $2 bytes made in the median time of side $1.
rate_of() { awk -v b="$2" -v s="$(time_of "$1")" 'BEGIN { print b / s / 1e6 }'; }

rows=()
# row FIGURE KILNWARE PEER UNIT GOAL [PEER NAME]: one line of the table; the ratio is
# KILNWARE / PEER, and GOAL is "<= X", ">= X", or "-" for a peer shown for comparison only.
row() {
    rows+=("$(awk -v f="$1" -v k="$2" -v p="$3" -v u="$4" -v goal="$5" -v name="${6:-}" 'BEGIN {
        split(goal, g, " "); r = k / p
        met = goal == "-" ? "-" : (g[1] == "<=" ? r <= g[2] : r >= g[2]) ? "yes" : "no"
        printf "%-46s %11s %11s %-11s %6.2f %8s  %s", f, sprintf("%.1f %s", k, u),
            sprintf("%.1f %s", p, u), name, r, goal, met
    }')")
}

# --- Inputs -------------------------------------------------------------------------------------

# For the figures without syncing on either side: the command always flushes its images (and
# starts their write-back early), so a preloaded stub turns those calls into no-ops.
printf '%s\n' 'int fsync(int fd) { (void)fd; return 0; }' \
    'int fdatasync(int fd) { (void)fd; return 0; }' \
    'int sync_file_range(int fd, long a, long b, unsigned f) { (void)fd; (void)a; (void)b; (void)f; return 0; }' \
    >"$work/nosync.c"
cc -shared -fPIC -O2 -o "$work/nosync.so" "$work/nosync.c"

# Random bytes, as text, that files are cut from: making them costs little more than writing them.
head -c 3145728 /dev/urandom | base64 -w0 >"$work/blob"

# make_tree DIR COUNT KIND [SEED]: COUNT files under DIR, about 25 to a folder in eight top
# folders, and prints their bytes.
# KIND "varied": mostly small files, a fifth middling (64 KB - 2 MB) and one in 125 large
# (5 - 15 MB); "small": 100 B - 8 KB; "large": 64 MiB each. Sizes spread evenly over the orders of
# magnitude, as file sizes do.
make_tree() {
    awk -v root="$1" -v count="$2" -v kind="$3" -v seed="${4:-1}" -v blobfile="$work/blob" '
    function spread(low, high) { return int(exp(log(low) + rand() * (log(high) - log(low)))) }
    BEGIN {
        srand(seed); getline blob < blobfile; n = length(blob); ORS = ""
        folders = int(count / 200) + 1
        for (i = 0; i < count; i++) {
            if (kind == "small") size = spread(100, 8192)
            else if (kind == "large") size = 64 * 1048576
            else if (i % 125 == 0) size = int(5e6 + rand() * 10e6)
            else if (i % 5 == 0) size = spread(64e3, 2e6)
            else size = spread(100, 64e3)
            dir = sprintf("%s/d%d/f%03d", root, i % 8, i % folders)
            if (!(dir in made)) { system("mkdir -p " dir); made[dir] = 1 }
            file = sprintf("%s/%06d.dat", dir, i)
            for (left = size; left > 0; left -= part) {
                part = left < n ? left : n
                print substr(blob, 1 + int(rand() * (n - part + 1)), part) > file
            }
            close(file)
            total += size
        }
        print total "\n"
    }'
    # On disk before anything is timed: the write-back of a new tree must not land in a side's runs.
    sync
}

# --- The sides ----------------------------------------------------------------------------------

kilnware_data() {
    quiet "$kilnware" data "$tree"/* --name Bench --yes --image-medium bd-r --image-dir "$out"
}
kilnware_data_unsynced() { LD_PRELOAD=$work/nosync.so kilnware_data; }
genisoimage_joliet() { quiet genisoimage -J -o "$out/peer.iso" "$tree"; }
genisoimage_joliet_sync() {
    genisoimage_joliet
    quiet sync "$out/peer.iso"
}
# The peer that also checksums what it writes, as Kilnware does: xorriso's MD5 tags of the session
# and of each file, Rock Ridge and Joliet, into a file through libburn (which syncs it at the end).
xorriso_md5() { quiet xorrisofs -quiet --md5 -R -J -o "$out/peer.iso" "$tree"; }
xorriso_md5_unsynced() { LD_PRELOAD=$work/nosync.so xorriso_md5; }
xorriso_md5_sync() {
    xorriso_md5
    quiet sync "$out/peer.iso"
}
kilnware_data_1g() { tree=$work/1g kilnware_data; }
kilnware_data_4g() { tree=$work/4g kilnware_data; }
kilnware_video_ts() {
    quiet "$kilnware" video-ts "$work/dvd" --title Bench --yes --image-medium dvd-r \
        --image-dir "$out"
}
genisoimage_dvd_video_sync() {
    quiet genisoimage -dvd-video -udf -o "$out/peer.iso" "$work/dvd"
    quiet sync "$out/peer.iso"
}
kilnware_audio() { quiet "$kilnware" audio "$audio" --yes --image-dir "$out"; }
kilnware_audio_unsynced() { LD_PRELOAD=$work/nosync.so kilnware_audio; }
cp_wav() { quiet cp "$audio" "$out/copy.wav"; }
ffmpeg_pcm() { quiet ffmpeg -nostdin -i "$audio" -f s16le -y "$out/peer.pcm"; }
# FFmpeg with libsoxr at the precision Kilnware resamples with (28 bits, soxr's very high quality).
ffmpeg_soxr() {
    quiet ffmpeg -nostdin -i "$audio" -af aresample=resampler=soxr:precision=28 -ar 44100 \
        -f s16le -y "$out/peer.pcm"
}

# Pink noise, different on each side: FLAC and MP3 have real work to do.
noise="anoisesrc=color=pink:sample_rate=44100:amplitude=0.3:duration=4440"

# --- Figures ------------------------------------------------------------------------------------

if wanted 1 || wanted 2; then
    note "figures 1, 2: making a tree of 3,200 files"
    tree=$work/tree
    size=$(make_tree "$tree" 3200 varied)
    sides=()
    wanted 1 && sides+=(kilnware_data_unsynced genisoimage_joliet xorriso_md5_unsynced)
    wanted 2 && sides+=(kilnware_data genisoimage_joliet_sync xorriso_md5_sync)
    compare "${sides[@]}"
    mb=$((size / 1000000))
    if wanted 1; then
        row "1 data image, $mb MB in 3,200 files, Joliet" "$(time_of kilnware_data_unsynced)" \
            "$(time_of xorriso_md5_unsynced)" s "<= 0.9" "xorriso"
        row "1 the same" "$(time_of kilnware_data_unsynced)" "$(time_of genisoimage_joliet)" s \
            "-" "genisoimage"
    fi
    if wanted 2; then
        row "2 the same, each synced to disk" "$(time_of kilnware_data)" \
            "$(time_of xorriso_md5_sync)" s "<= 1.0" "xorriso"
        row "2 the same" "$(time_of kilnware_data)" "$(time_of genisoimage_joliet_sync)" s "-" \
            "genisoimage"
        data_rate=$(rate_of kilnware_data "${bytes[kilnware_data]}")
    fi
    rm -rf "$tree"
fi

if wanted 3; then
    note "figure 3: making a tree of 100,000 files"
    tree=$work/tree
    size=$(make_tree "$tree" 100000 small)
    compare kilnware_data_unsynced genisoimage_joliet xorriso_md5_unsynced
    mb=$((size / 1000000))
    row "3 data image, $mb MB in 100,000 files" "$(time_of kilnware_data_unsynced)" \
        "$(time_of xorriso_md5_unsynced)" s "<= 0.9" "xorriso"
    row "3 the same" "$(time_of kilnware_data_unsynced)" "$(time_of genisoimage_joliet)" s "-" \
        "genisoimage"
    row "3 the same, peak RSS" "$(mib_of kilnware_data_unsynced)" \
        "$(mib_of xorriso_md5_unsynced)" MiB "<= 1.0" "xorriso"
    row "3 the same, peak RSS" "$(mib_of kilnware_data_unsynced)" "$(mib_of genisoimage_joliet)" \
        MiB "<= 1.0" "genisoimage"
    rm -rf "$tree"
fi

if wanted 4; then
    note "figure 4: making a DVD-video folder"
    # A noisy PAL clip, so that MPEG-2 needs its full rate, looped into one long title.
    ffmpeg -nostdin -v error -f lavfi -i "testsrc=size=720x576:rate=25,noise=alls=20:allf=t" -t 30 \
        -target pal-dvd -b:v 8M -aspect 4:3 -an "$work/clip.mpg"
    ffmpeg -nostdin -v error -stream_loop 18 -i "$work/clip.mpg" -c copy -f dvd "$work/long.mpg"
    quiet env VIDEO_FORMAT=PAL dvdauthor -o "$work/dvd" -t "$work/long.mpg"
    quiet env VIDEO_FORMAT=PAL dvdauthor -o "$work/dvd" -T
    rm "$work/clip.mpg" "$work/long.mpg"
    sync
    mb=$(du -sm "$work/dvd" | cut -f1)
    compare kilnware_video_ts genisoimage_dvd_video_sync
    row "4 video DVD, $mb MiB VIDEO_TS, synced" "$(time_of kilnware_video_ts)" \
        "$(time_of genisoimage_dvd_video_sync)" s "<= 1.0"
    video_rate=$(rate_of kilnware_video_ts "${bytes[kilnware_video_ts]}")
    rm -rf "$work/dvd"
fi

if wanted 5 || wanted 6 || wanted 7 || wanted 8; then
    note "figures 5-7: making 74 minutes of audio"
    ffmpeg -nostdin -v error -f lavfi -i "$noise:seed=1" -f lavfi -i "$noise:seed=2" \
        -filter_complex amerge=inputs=2 -c:a pcm_s16le "$work/74min.wav"
    ffmpeg -nostdin -v error -i "$work/74min.wav" -c:a flac "$work/74min.flac" \
        -c:a libmp3lame -b:a 192k "$work/74min.mp3"
    sync
    pcm=$((4440 * 44100 * 4))
    declare -A peer=([wav]=cp_wav [flac]=ffmpeg_pcm [mp3]=ffmpeg_pcm)
    declare -A figure=([wav]="5 74 min WAV to BIN/CUE vs cp" [flac]="6 74 min FLAC to BIN/CUE vs ffmpeg"
        [mp3]="7 74 min MP3 192k to BIN/CUE vs ffmpeg")
    declare -A decode_rate
    for kind in wav flac mp3; do
        wanted "${figure[$kind]%% *}" || { rm "$work/74min.$kind"; continue; }
        audio=$work/74min.$kind
        compare kilnware_audio_unsynced "${peer[$kind]}"
        row "${figure[$kind]}" "$(time_of kilnware_audio_unsynced)" "$(time_of "${peer[$kind]}")" s \
            "<= 1.0"
        decode_rate[$kind]=$(rate_of kilnware_audio_unsynced "$pcm")
        rm "$audio"
    done
fi

wanted 8 && [[ -v decode_rate[flac] ]] &&
    row "8 FLAC decode vs 10 x CD 52x" "${decode_rate[flac]}" 78 MB/s ">= 1.0"
wanted 8 && [[ -v decode_rate[mp3] ]] &&
    row "8 MP3 decode vs 10 x CD 52x" "${decode_rate[mp3]}" 78 MB/s ">= 1.0"
wanted 8 && [[ -v data_rate ]] &&
    row "8 data image (figure 2) vs 10 x BD 12x" "$data_rate" 540 MB/s ">= 1.0"
wanted 8 && [[ -v video_rate ]] &&
    row "8 video image (figure 4) vs 10 x DVD 16x" "$video_rate" 220 MB/s ">= 1.0"

if wanted 9; then
    note "figure 9: making trees of 1 GiB and 4 GiB"
    make_tree "$work/1g" 16 large >/dev/null
    make_tree "$work/4g" 64 large >/dev/null
    compare kilnware_data_1g kilnware_data_4g
    row "9 data peak RSS, 4 GiB tree vs 1 GiB tree" "$(mib_of kilnware_data_4g)" \
        "$(mib_of kilnware_data_1g)" MiB "<= 1.10"
fi

if wanted 10; then
    note "figure 10: making 20 minutes of 48 kHz audio"
    ffmpeg -nostdin -v error -f lavfi -i "${noise/44100/48000}:seed=3" -f lavfi \
        -i "${noise/44100/48000}:seed=4" -filter_complex amerge=inputs=2 -t 1200 -c:a pcm_s16le \
        "$work/48k.wav"
    sync
    audio=$work/48k.wav
    compare kilnware_audio_unsynced ffmpeg_soxr
    row "10 20 min 48 kHz WAV resampled vs ffmpeg soxr" "$(time_of kilnware_audio_unsynced)" \
        "$(time_of ffmpeg_soxr)" s "<= 1.2"
    rm "$audio"
fi

if wanted 11; then
    note "figure 11: the desktop window's longest stall while the library works"
    cmake --build --preset default -j2 --target kilnware_desktop_stall >/dev/null
    stall=$PWD/build/default/kilnware_desktop_stall
    # The authoring tool's work: a minute of PAL DVD video; 200 FLAC files of 30 s; a 1 GiB data tree.
    ffmpeg -nostdin -v error -f lavfi -i "testsrc=size=720x576:rate=25,noise=alls=20:allf=t" -t 60 \
        -target pal-dvd -b:v 8M -aspect 4:3 -an "$work/stall.mpg"
    mkdir "$work/flac"
    ffmpeg -nostdin -v error -f lavfi -i "${noise/4440/30}:seed=5" -ac 2 -c:a flac "$work/flac/one.flac"
    for i in $(seq -w 1 200); do cp "$work/flac/one.flac" "$work/flac/$i.flac"; done
    rm "$work/flac/one.flac"
    make_tree "$work/stalldata" 16 large >/dev/null
    mkdir "$work/stallimages"
    QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work quiet "$stall" "$work/stall.mpg" "$work/flac" \
        "$work/stalldata" "$work/stallimages"
    declare -A stalls
    while read -r name ms; do stalls[$name]=$ms; done <"$work/log"
    row "11 window stall, library idle" "${stalls[idle]}" 50 ms "<= 1.0"
    row "11 window stall, video tools running" "${stalls[video-tools]}" 50 ms "<= 1.0"
    row "11 window stall, 200 FLAC files measured" "${stalls[measure-200-flac]}" 50 ms "<= 1.0"
    row "11 window stall, 1 GiB data disc burned" "${stalls[data-burn]}" 50 ms "<= 1.0"
    rm -rf "$work/flac" "$work/stalldata" "$work/stallimages" "$work"/stall*
fi

printf '%-46s %11s %11s %-11s %6s %8s  %s\n' figure Kilnware peer "" ratio goal met
printf '%s\n' "${rows[@]}"
echo "(medians of $rounds rounds; ratio = Kilnware / peer; where the peer does not sync (1, 3, 5-7)"
echo " Kilnware's own flush is stubbed out, so that neither side syncs; figure 11 is one run, its"
echo " peer the 50 ms in which a window must repaint and answer Cancel)"
