// Measures the image recorder's data discs against xorriso, which a person would use to make the
// same image by hand: a tree of about 1 GB in about 5,000 files of varied sizes, burned as
// ISO 9660 + Joliet, against `xorriso -as mkisofs -J` of the same tree. The tree is made once and
// stays in the page cache, so both sides read it warm; the runs alternate, each right after the
// other.
//
//   data_disc_bench WORKDIR [ROUNDS]
//   data_disc_bench --burn TREE FOLDER    (one burn, for a profiler)

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/discrecording/DRTrack.h>
#include <kilnware/platform/engines/virtual/ImageRecorder.h>
#include <kilnware/platform/foundation/RunLoop.h>

#include "child_run.h"

namespace {

using namespace kilnware::platform;
namespace fs = std::filesystem;

// A small, fast generator: the tree's bytes cost little to make and are the same on every run.
struct SplitMix {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [low, high).
    double uniform(double low, double high) {
        return low + (high - low) * static_cast<double>(next() >> 11) * 0x1.0p-53;
    }
    // Spread evenly over the orders of magnitude between low and high, as file sizes are.
    std::uint64_t logUniform(double low, double high) {
        return static_cast<std::uint64_t>(std::exp(uniform(std::log(low), std::log(high))));
    }
};

struct TreeFacts {
    std::uint64_t files = 0;
    std::uint64_t folders = 0;
    std::uint64_t bytes = 0;
};

void writeFile(const fs::path& path, std::uint64_t size, std::uint64_t seed) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    SplitMix random{seed};
    std::vector<std::uint64_t> chunk(1 << 17);
    for (std::uint64_t done = 0; done < size;) {
        for (auto& word : chunk) {
            word = random.next();
        }
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(chunk.size() * sizeof(std::uint64_t), size - done));
        if (::write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) {
            std::perror(path.c_str());
            std::exit(1);
        }
        done += n;
    }
    ::close(fd);
}

// About 5,000 files in a few dozen folders up to four deep: many small files, fewer middling ones
// and a few large ones, about 1 GB in all.
TreeFacts makeTree(const fs::path& root) {
    static const char* const kTop[] = {"Documents", "Photos", "Music",  "Projects",
                                       "Mail",      "Videos", "Backup", "src"};
    static const char* const kInner[] = {"2021", "2022", "archive", "drafts", "raw", "lib"};
    static const char* const kExtensions[] = {".txt", ".jpg", ".dat", ".c", ".pdf", ".mp3"};
    SplitMix random{2024};
    TreeFacts facts;
    std::vector<fs::path> folders;
    for (const char* top : kTop) {
        folders.push_back(root / top);
        const int inner = static_cast<int>(random.next() % 4);
        for (int i = 0; i < inner; ++i) {
            fs::path folder = root / top / kInner[random.next() % 6];
            folders.push_back(folder);
            if (random.next() % 2 == 0) {
                folders.push_back(folder / "more");
                if (random.next() % 2 == 0) {
                    folders.push_back(folder / "more" / "deeper");
                }
            }
        }
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const auto& folder : folders) {
        fs::create_directories(folder);
    }
    facts.folders = folders.size();

    constexpr int kFiles = 5000;
    for (int i = 0; i < kFiles; ++i) {
        std::uint64_t size = 0;
        if (i % 125 == 0) {
            size = static_cast<std::uint64_t>(random.uniform(5e6, 15e6));  // 40 large files
        } else if (i % 5 == 0) {
            size = random.logUniform(64e3, 2e6);  // 960 middling ones
        } else {
            size = random.logUniform(100, 64e3);  // and 4,000 small ones
        }
        const fs::path& folder = folders[random.next() % folders.size()];
        const std::string name = "File " + std::to_string(i) + kExtensions[random.next() % 6];
        writeFile(folder / name, size, static_cast<std::uint64_t>(i) + 1);
        ++facts.files;
        facts.bytes += size;
    }
    return facts;
}

// The data disc of everything in `tree`, the way a host lays it out: a virtual root holding the
// tree's folders and files.
int burnTree(const std::string& tree, const std::string& folder) {
    auto root = DRFolder::virtualFolderWithName("KILNBENCH");
    root->setExplicitFilesystemMask(DRFilesystemInclusionMaskISO9660 |
                                    DRFilesystemInclusionMaskJoliet);
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(tree)) {
        entries.push_back(entry.path());
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& path : entries) {
        std::shared_ptr<DRFSObject> child;
        if (fs::is_directory(path)) {
            child = DRFolder::folderWithPath(path.string());
        } else {
            child = DRFile::fileWithPath(path.string());
        }
        if (!child || !root->addChild(child)) {
            std::fprintf(stderr, "cannot add %s\n", path.c_str());
            return 2;
        }
    }
    auto track = DRTrack::trackForRootFolder(root);
    if (!track) {
        std::fprintf(stderr, "cannot lay out %s\n", tree.c_str());
        return 2;
    }
    return bench::burnTrack(ImageRecorder::create(folder, ImageRecorder::Medium::DVDR), track);
}

int xorriso(const std::string& tree, const std::string& image) {
    return bench::runProgram("/usr/bin/xorriso",
                             {"xorriso", "-as", "mkisofs", "-J", "-o", image.c_str(), tree.c_str()},
                             true);
}

// Empties the output folder. The image goes before the disk ever sees it, and the next run starts
// at once: in a virtual machine, memory left idle for a few seconds goes back to the host, and
// taking it again costs more than writing the image does.
void clearOutput(const std::string& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        fs::remove_all(entry.path());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--burn") {
        return burnTree(argv[2], argv[3]);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORKDIR [ROUNDS]\n", argv[0]);
        return 2;
    }
    const std::string work = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string tree = work + "/tree";
    const std::string out = work + "/out";
    fs::create_directories(tree);
    fs::create_directories(out);
    const TreeFacts facts = makeTree(tree);
    ::sync();

    std::vector<double> burnTimes, peerTimes, burnRss, peerRss;
    double burnImage = 0;
    double peerImage = 0;
    auto imageBytes = [&] {
        std::uint64_t bytes = 0;
        for (const auto& entry : fs::directory_iterator(out)) {
            bytes += entry.file_size();
        }
        return static_cast<double>(bytes);
    };
    // One untimed run of each side first: it finds any fault early and brings the page cache to
    // the size that the timed runs keep reusing.
    bench::measure([&] { return burnTree(tree, out); }, "data burn");
    clearOutput(out);
    bench::measure([&] { return xorriso(tree, out + "/xorriso.iso"); }, "xorriso");
    clearOutput(out);
    for (int round = 0; round < rounds; ++round) {
        auto burnRun = [&] {
            const bench::Run run = bench::measure([&] { return burnTree(tree, out); }, "data burn");
            burnTimes.push_back(run.seconds);
            burnRss.push_back(run.peakMiB);
            burnImage = imageBytes();
            clearOutput(out);
        };
        auto peerRun = [&] {
            const bench::Run run =
                bench::measure([&] { return xorriso(tree, out + "/xorriso.iso"); }, "xorriso");
            peerTimes.push_back(run.seconds);
            peerRss.push_back(run.peakMiB);
            peerImage = imageBytes();
            clearOutput(out);
        };
        if (round % 2 == 0) {
            burnRun();
            peerRun();
        } else {
            peerRun();
            burnRun();
        }
    }

    const double burn = bench::median(burnTimes);
    const double peer = bench::median(peerTimes);
    std::printf(
        "data disc ISO 9660 + Joliet (%llu files in %llu folders, %.0f MB): burn %.2f s, "
        "xorriso %.2f s, time burn/xorriso %.2f (goal <= 1.00)\n",
        static_cast<unsigned long long>(facts.files),
        static_cast<unsigned long long>(facts.folders), static_cast<double>(facts.bytes) / 1e6,
        burn, peer, burn / peer);
    std::printf("peak RSS: data burn %.1f MiB (goal <= 64), xorriso %.1f MiB\n",
                bench::median(burnRss), bench::median(peerRss));
    std::printf("image size: burn %.0f MB, xorriso %.0f MB\n", burnImage / 1e6, peerImage / 1e6);
    return 0;
}
