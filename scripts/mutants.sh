#!/usr/bin/env bash
# Plants faults that could plausibly be made, one at a time, in a clone of this tree (the commit
# checked out), rebuilds the test programs that can see each and runs their tests, and prints
# whether the tests saw it, then the score: the share of faults seen. Keep it at 90% or more.
#
#   bash scripts/mutants.sh [FILTER]   only the mutants whose row holds FILTER
#
# The clone stays in build/mutants (KILNWARE_MUTANTS_DIR elsewhere), so that a later run rebuilds
# only what its faults touch. A row, its fields apart by "~": the file, the text (there exactly
# once), its replacement, the preset (default, or tsan for a fault that only ThreadSanitizer
# shows), the test programs to build, the tests to run (a ctest -R expression). "\n" in a text or
# a replacement is a line break.
set -euo pipefail
filter=${1:-}
root=$(cd "$(dirname "$0")/.." && pwd)
clone=${KILNWARE_MUTANTS_DIR:-$root/build/mutants}
export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
export TSAN_OPTIONS="halt_on_error=1:suppressions=$clone/tests/tsan-suppressions.txt"

mutants=$(cat <<'TABLE'
platform/media/SegmentTrack.cpp~kRawHeader = 16;~kRawHeader = 12;~default~command_tests~RippedCue.DataAndAudio
platform/media/RawSector.cpp~sector[15] = 1;~sector[15] = 2;~default~command_tests~RippedCue.DataAndAudio
platform/media/RawSector.cpp~address = lba + 150;~address = lba + 149;~default~command_tests~RippedCue.DataAndAudio
platform/engines/virtual/ReadAhead.cpp~longer = reader_->read(extra) > 0;~longer = reader_->read(extra) > 1;~default~discrecording_tests~ImageRecorderImage.BurnsThatCannot
platform/engines/virtual/ImageBurn.cpp~if (reader->read(extra) > 0) {~if (reader->read(extra) > 1) {~default~discrecording_tests~ImageRecorderImage.BurnsThatCannot
platform/media/IsoImage.cpp~iso_write_opts_set_joliet_long_names(o, 1);~iso_write_opts_set_joliet_long_names(o, 0);~default~media_tests~FilesystemImageTest.EachMask
platform/media/DiscImage.cpp~identifier == "NSR02" || identifier == "NSR03"~identifier == "NSR03"~default~discrecording_tests~ImageRecorderImage.TracksComeOut
platform/engines/virtual/ImageBurn.cpp~if (tracks.size() > 99) {~if (tracks.size() > 100) {~default~discrecording_tests~ImageRecorderImage.BurnsThatCannot
platform/media/CueImage.cpp~s > 59 || f > 74~s > 59 || f > 75~default~command_tests~RippedCue.WhatCannot
platform/media/CueImage.cpp~s > 59 || f > 74~s > 60 || f > 74~default~command_tests~RippedCue.WhatCannot
platform/engines/virtual/ImageBurn.cpp~if (::fsync(output.fd.get()) != 0) {~if (false) {~default~discrecording_tests~ImageRecorderImage
platform/engines/virtual/ImageBurn.cpp~if (!folder || (::fsync(folder.get()) != 0 && errno != EINVAL)) {~if (!folder) {~default~discrecording_tests~ImageRecorderImage
platform/engines/virtual/ImageBurn.cpp~            flush(*cue);\n            place(*cue);~            place(*cue);\n            flush(*cue);~default~discrecording_tests~ImageRecorderImage
tools/standins/HdiutilStandIn.cpp~ || ::fsync(image.fd()) != 0) {~ || (::fsync(image.fd()), false)) {~default~standin_tests~HdiutilStandIn.Fails
tools/standins/HdiutilStandIn.cpp~int failed = image.close();~int failed = 0;~default~standin_tests~HdiutilStandIn.Fails
tools/standins/HdiutilStandIn.cpp~if (failed == 0 && ::fsync(imageFolderFd.get()) != 0 && errno != EINVAL) {~if (false) {~default~standin_tests~HdiutilStandIn.Fails
platform/foundation/WorkRecord.cpp~        info.st_uid != ::geteuid() || !same(~        !same(~default~foundation_tests library_tests~WorkRecord|VideoDVD
platform/foundation/WorkRecord.cpp~        info.st_uid != ::geteuid() || (!S_ISREG~        (!S_ISREG~default~foundation_tests library_tests~WorkRecord|VideoDVD
platform/foundation/WorkRecord.cpp~!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||~!S_ISREG(info.st_mode) ||~default~foundation_tests library_tests~WorkRecord|VideoDVD
platform/discrecording/DROperation.cpp~        if (finished_) {\n            return;  // nothing follows the end\n        }\n~~default~discrecording_tests library_tests~ProgressPanel|BurnSession
platform/panels/Panels.cpp~        NotificationCenter::defaultCenter().post(willBegin);\n~~default~discrecording_tests library_tests~ProgressPanel|BurnSession
platform/panels/Panels.cpp~    NotificationCenter::defaultCenter().post(didFinish);\n~~default~discrecording_tests library_tests~ProgressPanel|BurnSession
platform/discrecording/DROperation.cpp~    if (abortRequested() || terminateAllCalls() != stopMark_) {~    if (terminateAllCalls() != stopMark_) {~default~discrecording_tests library_tests~ProgressPanel|BurnSession|ImageRecorderAudio
platform/discrecording/DRBurn.cpp~void DRBurn::setProperties(Dictionary properties) {\n    std::lock_guard lock(mutex_);~void DRBurn::setProperties(Dictionary properties) {~tsan~discrecording_tests~SetupPanel
tools/desktop/ProgressDialog.cpp~    resize(width(), heightForWidth(width()));\n~~default~desktop_tests~Desktop.AFailingTool
tools/desktop/AudioPage.cpp~performers.size() == 1 ? *performers.begin() : QString()~QString()~default~desktop_tests~Desktop.AnAudioCd
tools/desktop/CommandLine.cpp~    if (qEnvironmentVariableIsEmpty("DISPLAY") &&~    if (false && qEnvironmentVariableIsEmpty("DISPLAY") &&~default~kilnware-desktop~Desktop.PressedThrough
tools/desktop/MainWindow.cpp~room.left = !target->holds.isEmpty();~room.left = false;~default~desktop_tests~Desktop.ASession
tools/desktop/Library.cpp~return hosts::ContentPolicy::pseudoDrive(device) ?~return hosts::ContentPolicy::pseudoDrive(device) && false ?~default~desktop_tests~Desktop.ASession
platform/engines/libburn/LibburnDrive.cpp~        if (osErrno != 0) {~        if (false) {~default~command_tests~Sessions.Appended
tools/desktop/Mailbox.cpp~job = std::move(jobs_.front());\n            jobs_.pop_front();~job = std::move(jobs_.back());\n            jobs_.pop_back();~default~desktop_tests kilnware-desktop~Desktop
Kilnware/VXBurn.cpp~"Burn finished fine"~"Burn finished well"~default~library_tests~BurnSession
Kilnware/VideoDVD.cpp~": it is no work of an earlier video DVD burn"~": it is no work of an earlier burn"~default~library_tests~VideoDVD
Kilnware/VXBurn.cpp~"The erase failed (%@)!"~"The erase failed: %@!"~default~library_tests~EraseSession
TABLE
)

if [ ! -d "$clone/.git" ]; then
  git clone --quiet "$root" "$clone"
fi
git -C "$clone" fetch --quiet "$root" HEAD
git -C "$clone" reset --quiet --hard FETCH_HEAD
git -C "$clone" clean --quiet -fdx -e build

configured=""
built=""
seen=0
total=0
unbuilt=0
while IFS='~' read -r file text replacement preset targets tests; do
  [ -n "$file" ] || continue
  case "$file~$text~$replacement" in *"$filter"*) ;; *) continue ;; esac
  case " $configured " in
    *" $preset "*) ;;
    *) (cd "$clone" && cmake --preset "$preset" >/dev/null) && configured="$configured $preset" ;;
  esac
  if ! TEXT=$text REPLACEMENT=$replacement perl -0pi -e '
        BEGIN { ($t, $r) = map { s/\\n/\n/g; $_ } ($ENV{TEXT}, $ENV{REPLACEMENT}) }
        $n += s/\Q$t\E/$r/g;
        END { exit($n == 1 ? 0 : 1) }' "$clone/$file"; then
    echo "NOT PLANTED  $file: the text is not there exactly once: $text"
    git -C "$clone" checkout --quiet -- "$file"
    exit 1
  fi
  total=$((total + 1))
  # shellcheck disable=SC2086
  if ! cmake --build "$clone/build/$preset" -j2 --target $targets >"$clone/build/mutant.log" 2>&1; then
    echo "NO BUILD     $file: $text"
    unbuilt=$((unbuilt + 1))
  elif (cd "$clone/build/$preset" && ctest -j2 --timeout 600 -R "$tests" >>"$clone/build/mutant.log" 2>&1); then
    echo "UNSEEN       $file: $text -> $replacement"
  else
    echo "seen         $file: $text -> $replacement"
    seen=$((seen + 1))
  fi
  git -C "$clone" checkout --quiet -- "$file"
  built="$built $targets"
done <<<"$mutants"

# Put the programs back as the commit builds them, for the next run.
for preset in $configured; do
  # shellcheck disable=SC2086
  cmake --build "$clone/build/$preset" -j2 --target $(echo "$built" | tr ' ' '\n' | sort -u) \
    >/dev/null 2>&1 || true
done
valid=$((total - unbuilt))
if [ "$valid" -eq 0 ]; then
  echo "no mutant was planted"
  exit 1
fi
echo "score: $seen of $valid mutants seen ($((100 * seen / valid))%)"
[ "$unbuilt" -eq 0 ] || echo "$unbuilt did not build: mend their rows"
[ $((100 * seen)) -ge $((90 * valid)) ]
