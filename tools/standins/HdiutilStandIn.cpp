// kilnware-hdiutil: stands in for the hdiutil that kilnware runs, as
//
//   /usr/bin/hdiutil makehybrid -iso -joliet -udf -udf-version 1.02 -udf-volume-name T -o I F
//
// to make a disc image at I of the contents of folder F (F's contents at the root), readable as
// ISO 9660, Joliet and UDF 1.02, each named T. Exactly that argument vector is accepted (T may be
// empty); any other is a usage error.
//
// How the image is made: by genisoimage (first on $PATH, else /usr/bin), run without a shell.
// When F holds a DVD-video VIDEO_TS folder, a player finds its files by the sector numbers in the
// IFOs, so they must lie in IFO order with the gaps the IFOs expect. genisoimage's own -dvd-video
// gets that right but drops Joliet, so the order is given through a sort file instead, and each
// gap is filled by a padding file of the right size that is hidden from all three directory trees
// (genisoimage still writes its sectors). The layout comes from DvdLayout; IFOs that cannot be
// honoured are refused rather than burned into a disc that would not play.
//
// The volume name: genisoimage takes at most 32 bytes for -V and gives them to UDF as they are
// (whole UTF-8 characters kept; one beyond UCS-2, which genisoimage fails on, becomes '_'). The ISO
// 9660 and Joliet names are then written into their descriptors here: 32 d-characters, and the
// first 16 characters in UCS-2.
//
// Safety: the image is written under a temporary name beside I and renamed to I only when
// everything succeeded, so a failure (genisoimage's error, a full disk, a signal) leaves no image
// and no partial file behind. An I that already exists, of any kind, is refused and kept, as
// hdiutil does without -ov; so is an I inside F, which would image itself. genisoimage runs
// inside F with its configuration file switched off, so that nothing in F or $HOME changes its
// options.
//
// Rock Ridge, as `genisoimage -r` makes it: every file readable by all and owned by root, folders
// deeper than ISO 9660's eight levels relocated into a .rr_moved that Rock Ridge readers do not
// show. Symbolic links in F are left out, each said on standard error: genisoimage would write
// them into Joliet and UDF as empty files.
//
// Exit status: 2 for a wrong argument vector, 1 for any other failure, 127 when genisoimage is
// not installed, 128 + signal when stopped by SIGTERM, SIGINT or SIGHUP (passed on to genisoimage).

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "Child.h"
#include "DvdLayout.h"
#include "MakehybridArguments.h"
#include "VolumeName.h"
#include "WriteBehind.h"
#include "platform/foundation/PlaceFile.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/Utf8.h"

using namespace kilnware::standins;
using kilnware::platform::cutUtf8;
using kilnware::platform::decodeUtf8;
using kilnware::platform::replaceBeyondBasicPlane;
using kilnware::platform::UniqueFd;

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kNotInstalled = 127;
constexpr std::size_t kMaxGenisoimageVolumeBytes = 32;

void say(const std::string& message) {
    std::fprintf(stderr, "kilnware-hdiutil: %s\n", message.c_str());
}

int usage() {
    std::fputs(
        "usage: kilnware-hdiutil makehybrid -iso -joliet -udf -udf-version 1.02 "
        "-udf-volume-name NAME -o IMAGE FOLDER\n",
        stderr);
    return kUsage;
}

std::string parentOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> realPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) {
        return std::nullopt;
    }
    return std::string(resolved);
}

// Everything made along the way, removed again unless the image is handed over.
class Scratch {
public:
    ~Scratch() {
        if (!image.empty()) {
            ::unlink(image.c_str());
        }
        if (!folder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    }
    std::string image;
    std::string folder;
};

// A folder for the sort file and the padding. Its path goes into genisoimage's sort file and hide
// patterns, where only plain characters are safe, so an unusual $TMPDIR gives way to /tmp.
bool makeScratchFolder(Scratch& scratch, std::string& error) {
    std::string base = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp == '/') {
        std::string_view candidate(tmp);
        bool plain = candidate.find_first_not_of(
                         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-") ==
                     std::string_view::npos;
        if (plain) {
            base = tmp;
        }
    }
    std::string pattern = base + "/kilnware-hdiutil-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        error = pattern + ": " + std::strerror(errno);
        return false;
    }
    scratch.folder = pattern;
    return true;
}

bool writeText(const std::string& path, const std::string& text, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wbx");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        error = path + ": cannot write";
    }
    return ok;
}

// The genisoimage options that place the VIDEO_TS files; `inputs` gains the padding folder.
bool layoutOptions(const DvdLayout& layout, const Scratch& scratch,
                   std::vector<std::string>& options, std::vector<std::string>& inputs,
                   std::string& error) {
    const std::string paddingFolder = scratch.folder + "/padding";
    if (::mkdir(paddingFolder.c_str(), 0700) != 0) {
        error = paddingFolder + ": " + std::strerror(errno);
        return false;
    }
    // Higher weights come first; files the list does not name (weight 0) follow the DVD.
    long weight = 1000000;
    std::string sortList;
    int paddings = 0;
    for (const DvdLayout::Item& item : layout.items) {
        if (item.paddingBefore > 0) {
            char name[64];
            std::snprintf(name, sizeof name, "/kilnware-layout-padding-%04d", ++paddings);
            std::string padding = paddingFolder + name;
            UniqueFd fd(::open(padding.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            // Sparse: the sectors cost nothing here, genisoimage writes them as zeros.
            if (!fd ||
                ::ftruncate(fd.get(), static_cast<off_t>(item.paddingBefore * kSectorBytes)) != 0) {
                error = padding + ": " + std::strerror(errno);
                return false;
            }
            sortList += padding + " " + std::to_string(weight--) + "\n";
            options.insert(options.end(), {"-hide", padding, "-hide-joliet", padding});
        }
        sortList += "./VIDEO_TS/" + item.name + " " + std::to_string(weight--) + "\n";
    }
    const std::string sortFile = scratch.folder + "/sort";
    if (!writeText(sortFile, sortList, error)) {
        return false;
    }
    options.insert(options.end(), {"-sort", sortFile});
    if (paddings > 0) {
        inputs.push_back(paddingFolder);
    }
    return true;
}

// The links under `folder` as a genisoimage exclude list: each "./PATH" with its pattern
// characters escaped, so that it matches that link alone. With Rock Ridge genisoimage would write
// a link into Joliet and UDF as an empty file; hdiutil leaves out what the image cannot hold.
bool linksToLeaveOut(const std::string& folder, std::string& list, std::string& error) {
    std::error_code failed;
    std::filesystem::recursive_directory_iterator it(folder, failed), end;
    for (; !failed && it != end; it.increment(failed)) {
        if (!it->is_symlink(failed)) {
            continue;
        }
        const std::string relative = it->path().lexically_relative(folder).string();
        if (relative.find('\n') != std::string::npos) {
            error = "the link " + it->path().string() + " has a line break in its name";
            return false;
        }
        say("left out " + it->path().string() + ", a link");
        list += "./";
        for (char c : relative) {
            if (std::string_view("\\*?[]").find(c) != std::string_view::npos) {
                list += '\\';
            }
            list += c;
        }
        list += '\n';
    }
    if (failed) {
        error = folder + ": " + failed.message();
        return false;
    }
    return true;
}

bool isDvdVideoFolder(const std::string& folder) {
    struct stat info {};
    return ::lstat((folder + "/VIDEO_TS").c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           ::lstat((folder + "/VIDEO_TS/VIDEO_TS.IFO").c_str(), &info) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const auto request = parseMakehybridArguments(argc, argv);
    if (!request) {
        return usage();
    }
    // No stand-in outlives whoever started it.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) {
        return 128 + SIGTERM;
    }
    passOnTerminationSignals();
    const std::string& volumeName = request->volumeName;
    const std::string& imageArgument = request->image;
    const std::string& folderArgument = request->folder;

    auto name = decodeUtf8(volumeName);
    if (!name) {
        say("the volume name is not valid UTF-8");
        return kFailed;
    }
    struct stat info {};
    if (::stat(folderArgument.c_str(), &info) != 0) {
        say(folderArgument + ": " + std::strerror(errno) + "; no image written");
        return kFailed;
    }
    if (!S_ISDIR(info.st_mode)) {
        say(folderArgument + " is not a folder; no image written");
        return kFailed;
    }
    auto folder = realPath(folderArgument);
    if (!folder) {
        say(folderArgument + ": " + std::strerror(errno) + "; no image written");
        return kFailed;
    }

    if (::lstat(imageArgument.c_str(), &info) == 0) {
        say(imageArgument + " already exists; it is left as it is and no image is written");
        return kFailed;
    }
    const std::string imageName = baseOf(imageArgument);
    if (imageName.empty() || imageName == "." || imageName == "..") {
        say(imageArgument + " names a folder, not an image file");
        return kFailed;
    }
    auto imageFolder = realPath(parentOf(imageArgument));
    if (!imageFolder) {
        say("cannot write " + imageArgument + ": " + std::strerror(errno));
        return kFailed;
    }
    if (*imageFolder == *folder || imageFolder->starts_with(*folder == "/" ? "/" : *folder + "/")) {
        say("the image " + imageArgument + " would be inside " + folderArgument +
            ", the folder it is made of");
        return kFailed;
    }
    const std::string image = (*imageFolder == "/" ? "" : *imageFolder) + "/" + imageName;

    std::optional<DvdLayout> layout;
    if (isDvdVideoFolder(*folder)) {
        std::string error;
        layout = planDvdLayout(*folder + "/VIDEO_TS", error);
        if (!layout) {
            say(folderArgument + "/VIDEO_TS cannot be laid out as a video DVD: " + error +
                "; no image written");
            return kFailed;
        }
    }

    auto genisoimage = findProgram("genisoimage");
    if (!genisoimage) {
        say("genisoimage is not installed (looked on PATH and in /usr/bin)");
        return kNotInstalled;
    }

    Scratch scratch;
    std::string error;
    if (!makeScratchFolder(scratch, error)) {
        say("cannot make a work folder: " + error);
        return kFailed;
    }
    std::string temporary = *imageFolder + "/.kilnware-image-XXXXXX";
    const UniqueFd temporaryFd(::mkstemp(temporary.data()));
    if (!temporaryFd) {
        say("cannot write beside " + imageArgument + ": " + std::strerror(errno));
        return kFailed;
    }
    scratch.image = temporary;

    // genisoimage fails on a volume name its UCS-2 cannot hold.
    std::vector<std::string> arguments{
        "-quiet",
        "-input-charset",
        "utf-8",
        "-iso-level",
        "2",
        "-r",
        "-hide-rr-moved",
        "-J",
        "-joliet-long",
        "-udf",
        "-V",
        cutUtf8(replaceBeyondBasicPlane(volumeName, '_'), kMaxGenisoimageVolumeBytes),
        "-o",
        temporary};
    std::vector<std::string> inputs{"."};
    if (layout && !layoutOptions(*layout, scratch, arguments, inputs, error)) {
        say("cannot prepare the DVD layout: " + error);
        return kFailed;
    }
    std::string links;
    if (!linksToLeaveOut(*folder, links, error)) {
        say(error + "; no image written");
        return kFailed;
    }
    if (!links.empty()) {
        const std::string linkList = scratch.folder + "/links";
        if (!writeText(linkList, links, error)) {
            say("cannot prepare the image: " + error);
            return kFailed;
        }
        arguments.insert(arguments.end(), {"-exclude-list", linkList});
    }
    arguments.insert(arguments.end(), inputs.begin(), inputs.end());

    // "." is F, and no file from F or $HOME may set options. F is entered through a descriptor of
    // its resolved path, never a link put in its place since.
    UniqueFd source(::open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!source || ::fchdir(source.get()) != 0) {
        say(folderArgument + ": " + std::strerror(errno) + "; no image written");
        return kFailed;
    }
    // genisoimage says on standard error which file it used ("Using "/dev/null""), harmlessly.
    ::setenv("GENISOIMAGERC", "/dev/null", 1);
    if (receivedSignal() != 0) {
        return 128 + receivedSignal();
    }
    int status = 0;
    {
        // The disk takes the image while genisoimage writes it: the flush below then has little
        // left to do.
        const WriteBehind writeBehind(temporaryFd.get());
        status = runChild(*genisoimage, arguments);
    }
    if (receivedSignal() != 0) {
        say("stopped; no image written");
        return 128 + receivedSignal();
    }
    if (status != 0) {
        say("genisoimage failed (status " + std::to_string(status) + "); no image written");
        return kFailed;
    }

    if (!writeVolumeIdentifiers(temporary, *name, error)) {
        say("cannot finish the image: " + error + "; no image written");
        return kFailed;
    }
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(temporary.c_str(), 0666 & ~mask);
    // On the disk before it takes its name: a crash never leaves a short image under that name.
    UniqueFd written(::open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat writtenInfo {};
    int closed = 0;
    if (!written || ::fstat(written.get(), &writtenInfo) != 0 || ::fsync(written.get()) != 0 ||
        (closed = written.close()) != 0) {
        say("cannot write the image " + imageArgument + ": " +
            std::strerror(closed != 0 ? closed : errno) + "; no image written");
        return kFailed;
    }
    if (receivedSignal() != 0) {
        say("stopped; no image written");
        return 128 + receivedSignal();
    }
    if (const int placed = kilnware::platform::placeWithoutReplacing(temporary, image);
        placed != 0) {
        say("cannot name the image " + imageArgument + ": " + std::strerror(placed) +
            "; no image written");
        return kFailed;
    }
    scratch.image.clear();
    // The name lasts only once its folder is on the disk too (a file system that cannot flush a
    // folder, EINVAL, keeps names as it can); else the image, while it is still the one written
    // here, goes again.
    const UniqueFd dir(::open(imageFolder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || (::fsync(dir.get()) != 0 && errno != EINVAL)) {
        const int failed = errno;
        struct stat there {};
        if (::lstat(image.c_str(), &there) == 0 && there.st_dev == writtenInfo.st_dev &&
            there.st_ino == writtenInfo.st_ino) {
            ::unlink(image.c_str());
        }
        say("cannot write the image " + imageArgument + ": " + std::strerror(failed) +
            "; no image written");
        return kFailed;
    }
    return 0;
}
