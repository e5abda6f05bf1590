// Measures decoding to CD audio against ffmpeg doing the same: 74 minutes of music-like noise as
// FLAC and as a 192 kb/s MP3, each decoded by AudioDecoder (open, measure, stream) and by
// `ffmpeg -i F -f s16le -ar 44100 -ac 2 /dev/null`, in alternating child processes.
//
//   audio_decode_bench WORKDIR [ROUNDS]    (the files stay in WORKDIR for the next run)

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_run.h"
#include "platform/media/AudioDecoder.h"

namespace {

using kilnware::platform::media::AudioDecoder;

int decode(const std::string& path) {
    auto decoder = AudioDecoder::open(path);
    if (!decoder) {
        return 1;
    }
    std::vector<std::byte> buffer(64 * 1024);
    std::uint64_t bytes = 0;
    while (const std::size_t n = decoder->read(buffer)) {
        bytes += n;
    }
    if (!decoder->error().empty() ||
        bytes != decoder->blockCount() * AudioDecoder::kBytesPerBlock) {
        std::fprintf(stderr, "%s\n", decoder->error().c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: audio_decode_bench WORKDIR [ROUNDS]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string source = "anoisesrc=color=pink:amplitude=0.3:sample_rate=44100:duration=4440";
    const std::vector<std::pair<std::string, std::vector<const char*>>> files{
        {dir + "/74min.flac", {"-c:a", "flac"}},
        {dir + "/74min.mp3", {"-c:a", "libmp3lame", "-b:a", "192k"}}};
    for (const auto& [path, codec] : files) {
        if (std::FILE* made = std::fopen(path.c_str(), "rb")) {
            std::fclose(made);  // made by an earlier run
            continue;
        }
        std::vector<const char*> args{"ffmpeg", "-nostdin", "-v",           "error", "-y", "-f",
                                      "lavfi",  "-i",       source.c_str(), "-ac",   "2"};
        args.insert(args.end(), codec.begin(), codec.end());
        args.push_back(path.c_str());
        if (bench::runProgram("/usr/bin/ffmpeg", args, true) != 0) {
            std::fprintf(stderr, "ffmpeg could not make %s\n", path.c_str());
            return 1;
        }
    }
    for (const auto& [path, codec] : files) {
        std::vector<double> ours;
        std::vector<double> theirs;
        for (int round = 0; round < rounds; ++round) {
            ours.push_back(bench::measure([&] { return decode(path); }, "AudioDecoder").seconds);
            theirs.push_back(bench::measure(
                                 [&] {
                                     return bench::runProgram(
                                         "/usr/bin/ffmpeg",
                                         {"ffmpeg", "-nostdin", "-v", "error", "-i", path.c_str(),
                                          "-f", "s16le", "-ar", "44100", "-ac", "2", "-y",
                                          "/dev/null"},
                                         true);
                                 },
                                 "ffmpeg")
                                 .seconds);
        }
        const double a = bench::median(ours);
        const double b = bench::median(theirs);
        std::printf("%s: AudioDecoder %.2f s, ffmpeg %.2f s, ratio %.2f\n", path.c_str(), a, b,
                    a / b);
    }
    return 0;
}
