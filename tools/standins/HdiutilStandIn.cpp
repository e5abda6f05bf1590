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
// Safety: the image is an anonymous file in I's folder (O_TMPFILE; where the file system has none,
// a file under a temporary name used only through its descriptor), handed to genisoimage as
// /proc/self/fd/N, finished, flushed and given its name I with a link only when everything
// succeeded: nothing can be swapped in for it by whoever may write to that folder, and a failure
// (genisoimage's error, a full disk, a signal, even a kill after the grace period) leaves no image
// and no partial file behind. An I that already exists, of any kind, is refused and kept, as
// hdiutil does without -ov; so is an I inside F, which would image itself. genisoimage runs inside
// F with its configuration file switched off, so that nothing in F or $HOME changes its options.
// Its sort and exclude lists are anonymous files too; the padding of a video DVD lives in a
// private folder under $TMPDIR, removed as soon as genisoimage is done, and the moment a
// termination signal comes.
//
// Rock Ridge, as `genisoimage -r` makes it: every file readable by all and owned by root, folders
// deeper than ISO 9660's eight levels relocated into a .rr_moved that Rock Ridge readers do not
// show. Symbolic links in F are left out, each said on standard error: genisoimage would write
// them into Joliet and UDF as empty files.
//
// Exit status: 2 for a wrong argument vector, 1 for any other failure, 127 when genisoimage is
// not installed, 128 + signal when stopped by SIGTERM, SIGINT or SIGHUP (passed on to genisoimage).

#include <fcntl.h>
#include <sys/mman.h>
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
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "Child.h"
#include "DvdLayout.h"
#include "MakehybridArguments.h"
#include "VolumeName.h"
#include "WriteBehind.h"
#include "platform/foundation/Folders.h"
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

// A descriptor a child inherits, named as it will see it.
std::string inherited(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// The image while it is made: anonymous in the image's folder, or where the file system cannot
// make anonymous files, under a temporary name that goes again unless the image is handed over.
// Either way it is used only through its descriptor, which genisoimage inherits.
class WorkImage {
public:
    WorkImage(int folder, std::string& error) : folder_(folder) {
        fd_.reset(::openat(folder, ".", O_TMPFILE | O_RDWR, 0600));
        for (int attempt = 0; !fd_ && isUnsupported(errno) && attempt < 100; ++attempt) {
            std::random_device entropy;
            name_ = ".kilnware-image-" + std::to_string(entropy());
            fd_.reset(
                ::openat(folder, name_.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR, 0600));
            if (!fd_ && errno != EEXIST) {
                break;
            }
        }
        if (!fd_) {
            error = std::strerror(errno);
            name_.clear();
        }
    }
    ~WorkImage() { removeName(); }
    WorkImage(const WorkImage&) = delete;
    WorkImage& operator=(const WorkImage&) = delete;

    explicit operator bool() const { return bool(fd_); }
    int fd() const { return fd_.get(); }
    // The temporary name, if the image has one, for removal at a termination signal.
    std::optional<SignalCleanup> cleanup() const {
        if (name_.empty()) {
            return std::nullopt;
        }
        return SignalCleanup{folder_, name_, 0};
    }
    // The image takes the name `name` in its folder; it keeps no other.
    int place(const std::string& name) {
        ::fstat(fd_.get(), &placed_);
        const int placed = kilnware::platform::linkWithoutReplacing(fd_.get(), folder_, name);
        removeName();
        return placed;
    }
    // Closes the placed image; 0, or the errno of a late write error that only the close reports.
    int close() { return fd_.close(); }
    // Takes `name` away again while it still names the placed image.
    void unplace(const std::string& name) {
        struct stat there {};
        if (::fstatat(folder_, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            there.st_dev == placed_.st_dev && there.st_ino == placed_.st_ino) {
            ::unlinkat(folder_, name.c_str(), 0);
        }
    }

private:
    static bool isUnsupported(int error) {
        return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
    }
    void removeName() {
        struct stat mine {};
        struct stat there {};
        if (!name_.empty() && ::fstat(fd_.get(), &mine) == 0 &&
            ::fstatat(folder_, name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            mine.st_dev == there.st_dev && mine.st_ino == there.st_ino) {
            ::unlinkat(folder_, name_.c_str(), 0);
        }
        name_.clear();
    }

    int folder_;
    UniqueFd fd_;
    std::string name_;
    struct stat placed_ {};
};

// The padding files that fill the gaps of a video DVD, in a private folder under $TMPDIR, which
// goes with this object (and at a termination signal).
class Padding {
public:
    ~Padding() { remove(); }
    Padding() = default;
    Padding(const Padding&) = delete;
    Padding& operator=(const Padding&) = delete;

    // Its path goes into genisoimage's sort file and hide patterns, where only plain characters
    // are safe, so an unusual $TMPDIR gives way to /tmp.
    bool make(std::string& error) {
        std::string base = "/tmp";
        if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp == '/') {
            std::string_view candidate(tmp);
            if (candidate.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789/._-") == std::string_view::npos) {
                base = tmp;
            }
        }
        std::string pattern = base + "/kilnware-hdiutil-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            error = pattern + ": " + std::strerror(errno);
            return false;
        }
        path = pattern;
        name_ = baseOf(path);
        parent_.reset(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        folder_.reset(::openat(parent_.get(), name_.c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!parent_ || !folder_) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    // A file of `bytes` zeros (sparse: the sectors cost nothing here, genisoimage writes them).
    std::optional<std::string> add(off_t bytes, std::string& error) {
        char name[64];
        std::snprintf(name, sizeof name, "kilnware-layout-padding-%04zu", files_.size() + 1);
        UniqueFd fd(::openat(folder_.get(), name,
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd) {
            files_.emplace_back(name);
        }
        if (!fd || ::ftruncate(fd.get(), bytes) != 0) {
            error = path + "/" + name + ": " + std::strerror(errno);
            return std::nullopt;
        }
        return path + "/" + name;
    }
    std::vector<SignalCleanup> cleanup() const {
        std::vector<SignalCleanup> items;
        for (const std::string& file : files_) {
            items.push_back({folder_.get(), file, 0});
        }
        items.push_back({parent_.get(), name_, AT_REMOVEDIR});
        return items;
    }
    void remove() {
        if (!folder_) {
            return;
        }
        for (const std::string& file : files_) {
            ::unlinkat(folder_.get(), file.c_str(), 0);
        }
        ::unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR);
        folder_.reset();
    }
    std::string path;

private:
    std::string name_;
    UniqueFd parent_;
    UniqueFd folder_;
    std::vector<std::string> files_;
};

// An anonymous file holding `text`, which a child inherits.
UniqueFd anonymousText(const std::string& text, std::string& error) {
    UniqueFd fd(::memfd_create("kilnware-hdiutil", 0));
    if (!fd || kilnware::platform::writeAll(fd.get(), text) != 0) {
        error = std::strerror(errno);
        fd.reset();
    }
    return fd;
}

// The genisoimage options that place the VIDEO_TS files; `inputs` gains the padding folder.
bool layoutOptions(const DvdLayout& layout, Padding& padding, UniqueFd& sortFile,
                   std::vector<std::string>& options, std::vector<std::string>& inputs,
                   std::string& error) {
    // Higher weights come first; files the list does not name (weight 0) follow the DVD.
    long weight = 1000000;
    std::string sortList;
    for (const DvdLayout::Item& item : layout.items) {
        if (item.paddingBefore > 0) {
            if (!padding.path.empty() || padding.make(error)) {
                auto file =
                    padding.add(static_cast<off_t>(item.paddingBefore * kSectorBytes), error);
                if (!file) {
                    return false;
                }
                sortList += *file + " " + std::to_string(weight--) + "\n";
                options.insert(options.end(), {"-hide", *file, "-hide-joliet", *file});
            } else {
                return false;
            }
        }
        sortList += "./VIDEO_TS/" + item.name + " " + std::to_string(weight--) + "\n";
    }
    if (!(sortFile = anonymousText(sortList, error))) {
        return false;
    }
    options.insert(options.end(), {"-sort", inherited(sortFile.get())});
    if (!padding.path.empty()) {
        inputs.push_back(padding.path);
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
    // Everything below happens in this folder through its descriptor, whatever is put at its
    // path meanwhile.
    const UniqueFd imageFolderFd = kilnware::platform::openFolderOnce(*imageFolder);
    if (!imageFolderFd) {
        say("cannot write " + imageArgument + ": " + std::strerror(errno));
        return kFailed;
    }

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

    std::string error;
    WorkImage image(imageFolderFd.get(), error);
    if (!image) {
        say("cannot write beside " + imageArgument + ": " + error);
        return kFailed;
    }
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
        inherited(image.fd())};
    std::vector<std::string> inputs{"."};
    Padding padding;
    UniqueFd sortFile;
    if (layout && !layoutOptions(*layout, padding, sortFile, arguments, inputs, error)) {
        say("cannot prepare the DVD layout: " + error);
        return kFailed;
    }
    std::string links;
    if (!linksToLeaveOut(*folder, links, error)) {
        say(error + "; no image written");
        return kFailed;
    }
    UniqueFd linkList;
    if (!links.empty()) {
        if (!(linkList = anonymousText(links, error))) {
            say("cannot prepare the image: " + error);
            return kFailed;
        }
        arguments.insert(arguments.end(), {"-exclude-list", inherited(linkList.get())});
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
    std::vector<SignalCleanup> cleanup =
        padding.path.empty() ? std::vector<SignalCleanup>() : padding.cleanup();
    if (auto named = image.cleanup()) {
        cleanup.push_back(*named);
    }
    removeOnTerminationSignal(std::move(cleanup));
    if (receivedSignal() != 0) {
        return 128 + receivedSignal();
    }
    int status = 0;
    {
        // The disk takes the image while genisoimage writes it: the flush below then has little
        // left to do.
        const WriteBehind writeBehind(image.fd());
        status = runChild(*genisoimage, arguments);
    }
    disarmTerminationCleanup();
    padding.remove();
    if (receivedSignal() != 0) {
        say("stopped; no image written");
        return 128 + receivedSignal();
    }
    if (status != 0) {
        say("genisoimage failed (status " + std::to_string(status) + "); no image written");
        return kFailed;
    }

    if (!writeVolumeIdentifiers(image.fd(), *name, error)) {
        say("cannot finish the image: " + error + "; no image written");
        return kFailed;
    }
    // Readable as a file the user made; on the disk before it takes its name, so that a crash
    // never leaves a short image under that name.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(image.fd(), 0666 & ~mask) != 0 || ::fsync(image.fd()) != 0) {
        say("cannot write the image " + imageArgument + ": " + std::strerror(errno) +
            "; no image written");
        return kFailed;
    }
    // From here on a termination signal waits: the image is placed whole, or not at all, and the
    // exit status says which.
    sigset_t termination;
    sigemptyset(&termination);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&termination, signal);
    }
    ::sigprocmask(SIG_BLOCK, &termination, nullptr);
    if (receivedSignal() != 0) {
        say("stopped; no image written");
        return 128 + receivedSignal();
    }
    if (const int placed = image.place(imageName); placed != 0) {
        say("cannot name the image " + imageArgument + ": " +
            (placed == EEXIST ? std::string("something else stands there now")
                              : std::string(std::strerror(placed))) +
            "; no image written");
        return kFailed;
    }
    // The name lasts only once the image is closed without a late write error and its folder is on
    // the disk too (a file system that cannot flush a folder, EINVAL, keeps names as it can); else
    // it goes again, while it still names this image.
    int failed = image.close();
    if (failed == 0 && ::fsync(imageFolderFd.get()) != 0 && errno != EINVAL) {
        failed = errno;
    }
    if (failed != 0) {
        image.unplace(imageName);
        say("cannot write the image " + imageArgument + ": " + std::strerror(failed) +
            "; no image written");
        return kFailed;
    }
    return 0;
}
