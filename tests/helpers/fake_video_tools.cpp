// Stands in for both video tools in the library's tests, without authoring anything real.
//   -x PROJECT                       fills the project's dest folder with VIDEO_TS/VIDEO_TS.IFO
//   makehybrid ... -o IMAGE FOLDER   writes a small ISO 9660 image
// Every call appends its arguments, each ended by 0x1F, as one line to $KILNWARE_FAKE_TOOL_LOG.
// Paths with XML entities are not unescaped: the tests' paths hold none.
// With $KILNWARE_FAKE_IMAGE_FAILS set, the image tool writes nothing and exits 1. A termination
// signal waits until the run is done.
#include <sys/resource.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int author(const std::string& project) {
    std::ifstream file(project);
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    const std::string mark = "dest= \"";
    auto start = text.find(mark);
    if (start == std::string::npos) {
        return 1;
    }
    start += mark.size();
    const std::string dest = text.substr(start, text.find('"', start) - start);
    std::error_code error;
    std::filesystem::create_directory(dest + "/VIDEO_TS", error);
    std::ofstream(dest + "/VIDEO_TS/VIDEO_TS.IFO") << "DVDVIDEO-VMG";
    return error ? 1 : 0;
}

int image(const std::vector<std::string>& args) {
    if (args.size() != 11 || std::getenv("KILNWARE_FAKE_IMAGE_FAILS")) {
        return 1;
    }
    // A primary volume descriptor and the set's terminator, at sector 16.
    std::string sectors(18 * 2048, '\0');
    const std::size_t at = 16 * 2048;
    sectors[at] = 1;
    sectors.replace(at + 1, 5, "CD001");
    sectors[at + 2048] = static_cast<char>(0xFF);
    sectors.replace(at + 2048 + 1, 5, "CD001");
    std::ofstream(args[9], std::ios::binary) << sectors;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A signal ends the run before it does anything, or waits until it is done: what it makes is
    // whole or nothing (as the stand-ins promise), whenever a test sends one.
    sigset_t termination;
    sigemptyset(&termination);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&termination, signal);
    }
    ::sigprocmask(SIG_BLOCK, &termination, nullptr);
    // A test may limit the size of the files it writes itself (a disk that fills), never the
    // tools'.
    if (rlimit limit{}; ::getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    if (const char* log = std::getenv("KILNWARE_FAKE_TOOL_LOG")) {
        std::ofstream out(log, std::ios::app);
        for (const std::string& arg : args) {
            out << arg << '\x1f';
        }
        out << '\n';
    }
    if (args.size() == 2 && args[0] == "-x") {
        return author(args[1]);
    }
    if (!args.empty() && args[0] == "makehybrid") {
        return image(args);
    }
    return 2;
}
