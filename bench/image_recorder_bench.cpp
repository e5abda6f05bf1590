// Measures the image recorder against the programs a person would compare it with: 74 minutes of
// audio burned to BIN/CUE from WAV against `cp` of the same WAV, and from FLAC against real time.
// Each run happens in a child process of its own, so that its wall time and peak memory are its
// own; the runs alternate so that the disk's and the cache's moods hit each side alike.
//
//   image_recorder_bench WORKDIR [ROUNDS]
//   image_recorder_bench --burn AUDIOFILE FOLDER    (one burn, for a profiler)

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/engines/virtual/ImageRecorder.h>
#include <kilnware/platform/foundation/RunLoop.h>

#include "child_run.h"

namespace {

using namespace kilnware::platform;
namespace fs = std::filesystem;
using bench::measure;
using bench::median;
using bench::Run;

constexpr std::int64_t kFrames = std::int64_t{74} * 60 * 44100;

// Music-like material: two drifting tones and a little noise, so that FLAC has real work to do.
void writeAudio(const std::string& path, int format) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
        std::exit(1);
    }
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    std::vector<float> chunk(2 * 65536);
    for (std::int64_t done = 0; done < kFrames;) {
        const std::int64_t count = std::min<std::int64_t>(65536, kFrames - done);
        for (std::int64_t i = 0; i < count; ++i) {
            const double t = static_cast<double>(done + i) / 44100;
            const double a = 0.3 * std::sin(2 * M_PI * (220 + 20 * std::sin(t / 7)) * t);
            const double b = 0.2 * std::sin(2 * M_PI * (331 + 15 * std::sin(t / 5)) * t);
            chunk[static_cast<std::size_t>(2 * i)] = static_cast<float>(a + b) + noise(random);
            chunk[static_cast<std::size_t>(2 * i + 1)] = static_cast<float>(a - b) + noise(random);
        }
        sf_writef_float(file, chunk.data(), count);
        done += count;
    }
    sf_close(file);
}

int burnAudio(const std::string& source, const std::string& folder) {
    auto track = DRTrack::trackForAudioFile(source);
    if (!track) {
        return 2;
    }
    return bench::burnTrack(ImageRecorder::create(folder), track);
}

int copyFile(const std::string& from, const std::string& to) {
    return bench::runProgram("/bin/cp", {"cp", from.c_str(), to.c_str()}, false);
}

// Removes what one run made, by the names it is known to make.
void removeOutputs(const std::string& folder) {
    for (const char* name : {"Kilnware Disc.bin", "Kilnware Disc.cue", "copy.wav"}) {
        fs::remove(folder + "/" + name);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--burn") {
        return burnAudio(argv[2], argv[3]);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORKDIR [ROUNDS]\n", argv[0]);
        return 2;
    }
    const std::string work = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string wav = work + "/bench.wav";
    const std::string flac = work + "/bench.flac";
    const std::string out = work + "/out";
    fs::create_directories(out);
    writeAudio(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    writeAudio(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    const double bytes = static_cast<double>(fs::file_size(wav));
    const double audioSeconds = static_cast<double>(kFrames) / 44100;

    // One untimed run of each side first: the output's memory is then already the guest's, as it
    // is for every later run (a virtual machine hands memory left idle back to its host, and
    // taking it again costs as much as the copy).
    measure([&] { return burnAudio(wav, out); }, "WAV burn");
    removeOutputs(out);
    measure([&] { return copyFile(wav, out + "/copy.wav"); }, "cp");
    removeOutputs(out);

    std::vector<double> burnTimes, copyTimes, flacTimes, burnRss, copyRss, flacRss;
    for (int round = 0; round < rounds; ++round) {
        auto burnRun = [&] {
            Run run = measure([&] { return burnAudio(wav, out); }, "WAV burn");
            burnTimes.push_back(run.seconds);
            burnRss.push_back(run.peakMiB);
            removeOutputs(out);
        };
        auto copyRun = [&] {
            Run run = measure([&] { return copyFile(wav, out + "/copy.wav"); }, "cp");
            copyTimes.push_back(run.seconds);
            copyRss.push_back(run.peakMiB);
            removeOutputs(out);
        };
        if (round % 2 == 0) {
            burnRun();
            copyRun();
        } else {
            copyRun();
            burnRun();
        }
        Run run = measure([&] { return burnAudio(flac, out); }, "FLAC burn");
        flacTimes.push_back(run.seconds);
        flacRss.push_back(run.peakMiB);
        removeOutputs(out);
    }

    const double burn = median(burnTimes);
    const double copy = median(copyTimes);
    const double flacTime = median(flacTimes);
    std::printf(
        "audio CD from WAV (74 min, %.0f MB): burn %.2f s (%.0f MB/s), cp %.2f s "
        "(%.0f MB/s), throughput burn/cp %.2f (goal >= 0.80)\n",
        bytes / 1e6, burn, bytes / 1e6 / burn, copy, bytes / 1e6 / copy, copy / burn);
    std::printf("peak RSS: WAV burn %.1f MiB, cp %.1f MiB\n", median(burnRss), median(copyRss));
    std::printf(
        "audio CD from FLAC (74 min, %.0f MB): burn %.2f s, %.0fx real time "
        "(goal >= 100x), peak RSS %.1f MiB\n",
        static_cast<double>(fs::file_size(flac)) / 1e6, flacTime, audioSeconds / flacTime,
        median(flacRss));
    return 0;
}
