// UDF images through genisoimage. libisofs writes no UDF, so genisoimage streams each reader's
// image through a pipe; its size comes first, from genisoimage's own reckoning.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <kilnware/platform/discrecording/DRFolder.h>
#include <kilnware/platform/foundation/Log.h>
#include <kilnware/platform/foundation/Task.h>

#include "platform/foundation/FindProgram.h"
#include "platform/foundation/Utf8.h"
#include "platform/media/FilesystemImage.h"

namespace kilnware::platform::media {

namespace {

std::string genisoimage() {
    return findProgram("genisoimage").value_or("/usr/bin/genisoimage");
}

// genisoimage takes at most 32 bytes for the volume name, and fails on a character its UCS-2
// cannot hold.
std::string udfVolumeId(const std::string& name) {
    return cutUtf8(replaceBeyondBasicPlane(name, '_'), 32);
}

// The longest names genisoimage writes whole, in UTF-16 units: a UDF name holds 254 characters of
// 8 bits, or 127 of 16 (a longer one makes a broken folder); its Joliet tree holds 103.
constexpr std::size_t kUdfNameOf8Bits = 254;
constexpr std::size_t kUdfNameOf16Bits = 127;
constexpr std::size_t kJolietName = 103;

// `name` as genisoimage can write it: characters beyond UCS-2 (which it fails on) and those it
// turns into '_' itself (control characters, * : ; ? \, so that two names may end up one) become
// '_', and a name too long for UDF (or Joliet) is shortened, keeping its extension.
std::u32string writableName(std::u32string name, bool joliet) {
    bool wide = false;
    for (char32_t& c : name) {
        if (c > 0xFFFF || c < 0x20 || c == 0x7F ||
            std::u32string_view(U"*:;?\\").find(c) != std::u32string_view::npos) {
            c = U'_';
        }
        wide = wide || c > 0xFF;
    }
    std::size_t limit = wide ? kUdfNameOf16Bits : kUdfNameOf8Bits;
    if (joliet) {
        limit = std::min(limit, kJolietName);
    }
    if (name.size() > limit) {
        const std::size_t dot = name.rfind(U'.');
        const std::size_t extension =
            dot != std::u32string::npos && dot > 0 && name.size() - dot <= 16 ? name.size() - dot
                                                                              : 0;
        name.erase(limit - extension, name.size() - limit);
    }
    return name;
}

// `name` with " (n)" before its extension, shortened before the number where need be.
std::u32string numberedName(const std::u32string& name, int n, bool joliet) {
    const std::size_t dot = name.rfind(U'.');
    const std::size_t split = dot != std::u32string::npos && dot > 0 ? dot : name.size();
    std::u32string number;
    for (char c : " (" + std::to_string(n) + ")") {
        number.push_back(static_cast<char32_t>(c));
    }
    std::u32string numbered = name.substr(0, split) + number + name.substr(split);
    const std::u32string fitted = writableName(numbered, joliet);
    if (fitted.size() < numbered.size()) {
        // Shortened: the number must survive, so cut the part before it.
        const std::size_t over = numbered.size() - fitted.size();
        numbered.erase(split - std::min(over, split), std::min(over, split));
    }
    return numbered;
}

std::string toUtf8(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) {
        appendUtf8(out, c);
    }
    return out;
}

// Names of the layout's items as genisoimage writes them, where they differ.
using DiscNames = std::unordered_map<const LaidOutNode*, std::string>;

// The names under `folder` that genisoimage cannot write as they are, each with the name it is
// to write instead (one no other item of its folder has), warned of.
void renameForGenisoimage(const LaidOutNode& folder, const std::string& discPath, bool joliet,
                          DiscNames& renamed) {
    std::set<std::u32string> taken;
    std::vector<std::pair<const LaidOutNode*, std::u32string>> changed;
    for (const LaidOutNode& child : folder.children) {
        const std::u32string name = decodeUtf8(child.name).value_or(U"_");
        std::u32string writable = writableName(name, joliet);
        if (writable == name) {
            taken.insert(std::move(writable));
        } else {
            changed.emplace_back(&child, std::move(writable));
        }
    }
    for (auto& [child, writable] : changed) {
        std::u32string name = writable;
        for (int n = 2; taken.count(name) != 0; ++n) {
            name = numberedName(writable, n, joliet);
        }
        taken.insert(name);
        const std::string& utf8 = renamed[child] = toUtf8(name);
        const std::string source = child->sourcePath();
        Log::warning(
            "Data layout: %@ goes on the disc as \"%@\": genisoimage cannot write that "
            "name into %@ as it is",
            {source.empty() ? discPath + "/" + child->name : source, utf8,
             joliet ? "UDF and Joliet" : "UDF"});
    }
    for (const LaidOutNode& child : folder.children) {
        if (child.isFolder()) {
            renameForGenisoimage(child, discPath + "/" + child.name, joliet, renamed);
        }
    }
}

// Removes a staged tree, whose folders may have kept their owners' modes (read-only ones too).
void removeTree(const std::string& path) {
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(path, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            ::chmod(it->path().c_str(), 0700);
        }
    }
    std::filesystem::remove_all(path, ignored);
}

// A staged folder takes the owner (where this process may give it away), mode and time of the
// folder it stands for; genisoimage records them. Its reader must still get in.
void setFolderAttributes(const LaidOutNode& folder, const std::string& path) {
    // Only root may give a folder away; otherwise it keeps this process's owner.
    [[maybe_unused]] const int given = ::chown(path.c_str(), folder.owner, folder.group);
    ::chmod(path.c_str(), ::geteuid() == 0 ? folder.mode : folder.mode | 0500);
    const timespec times[2] = {{folder.modified, 0}, {folder.modified, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Mirrors the layout on disk: folders as folders with the owners and modes of theirs, files as
// links to what the layout read, so that genisoimage sees the layout and nothing else. A UDF
// layout holds no links of its own (see layOutFolder).
bool stage(const LaidOutNode& folder, const std::string& into, const DiscNames& names,
           std::string& error) {
    for (const LaidOutNode& child : folder.children) {
        const auto renamed = names.find(&child);
        const std::string path =
            into + "/" + (renamed != names.end() ? renamed->second : child.name);
        if (child.isFolder()) {
            if (::mkdir(path.c_str(), 0700) != 0 || !stage(child, path, names, error)) {
                if (error.empty()) {
                    error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
                }
                return false;
            }
            setFolderAttributes(child, path);
        } else if (child.isFile() && ::symlink(child.sourcePath().c_str(), path.c_str()) != 0) {
            error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
            return false;
        }
    }
    return true;
}

// The staged mirror of a layout, in a private temporary folder that goes with it.
class StagedTree {
public:
    static std::unique_ptr<StagedTree> make(const FolderLayout& layout, const DiscNames& names,
                                            std::string& error) {
        const char* base = std::getenv("TMPDIR");
        std::string folder =
            std::string(base && *base == '/' ? base : "/tmp") + "/kilnware-udf-XXXXXX";
        if (!::mkdtemp(folder.data())) {
            error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
            return nullptr;
        }
        std::unique_ptr<StagedTree> staged(new StagedTree(folder));
        const std::string tree = staged->tree();
        if (::mkdir(tree.c_str(), 0700) != 0 || !stage(layout.root, tree, names, error)) {
            if (error.empty()) {
                error = "cannot prepare the UDF image: " + std::string(std::strerror(errno));
            }
            return nullptr;
        }
        setFolderAttributes(layout.root, tree);
        return staged;
    }
    ~StagedTree() { removeTree(folder_); }
    StagedTree(const StagedTree&) = delete;
    StagedTree& operator=(const StagedTree&) = delete;
    std::string tree() const { return folder_ + "/tree"; }

private:
    explicit StagedTree(std::string folder) : folder_(std::move(folder)) {}
    std::string folder_;
};

std::vector<std::string> genisoimageArguments(const FolderLayout& layout, const std::string& tree,
                                              bool sizeOnly) {
    const bool iso9660 = (layout.mask & DRFilesystemInclusionMaskISO9660) != 0;
    const bool joliet = (layout.mask & DRFilesystemInclusionMaskJoliet) != 0;
    std::vector<std::string> arguments = {"-quiet", "-input-charset", "utf-8", "-udf", "-iso-level",
                                          "3",
                                          // The staged links stand for the files themselves.
                                          "-follow-links", "-V", udfVolumeId(layout.volumeName)};
    if (iso9660) {
        // Rock Ridge also relocates folders deeper than ISO 9660's eight levels, into a folder
        // that Rock Ridge readers do not show.
        arguments.insert(arguments.end(), {"-R", "-hide-rr-moved"});
    } else {
        // The ISO 9660 tree stays empty; its volume descriptor is still needed. Files over 4 GiB
        // then need not fit ISO 9660 either, nor folders its depth.
        arguments.insert(arguments.end(), {"-hide", "*", "-allow-limited-size", "-D"});
    }
    if (joliet) {
        arguments.insert(arguments.end(), {"-J", "-joliet-long"});
    }
    if (sizeOnly) {
        arguments.push_back("-print-size");
    }
    arguments.push_back(tree);
    return arguments;
}

// The first file of the layout that is not as the layout found it, if any: genisoimage reads the
// files itself, so a file that changed is found by looking before and after it did.
std::optional<std::string> changedFile(const LaidOutNode& folder) {
    for (const LaidOutNode& child : folder.children) {
        if (child.isFolder()) {
            if (auto changed = changedFile(child)) {
                return changed;
            }
        }
        if (!child.isFile()) {
            continue;
        }
        struct stat info {};
        if (::stat(child.sourcePath().c_str(), &info) != 0 ||
            FileIdentity::of(info) != child.identity()) {
            return child.sourcePath();
        }
    }
    return std::nullopt;
}

// The image as genisoimage writes it to its standard output, cut to the size it announced. The
// program ends with the reader, and so does the staged tree.
class StreamReader : public DRTrackReader {
    // After this long without a byte from genisoimage the files are looked at.
    static constexpr int kStall = 1000;

public:
    StreamReader(const FolderLayout& layout, std::unique_ptr<StagedTree> staged,
                 std::unique_ptr<Task> task, std::uint64_t bytes)
        : layout_(layout), staged_(std::move(staged)), task_(std::move(task)), remaining_(bytes) {}
    ~StreamReader() override {
        task_.reset();  // ends genisoimage, if it still runs, before its tree goes
    }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    std::size_t read(std::span<std::byte> out) override {
        if (!error_.empty() || remaining_ == 0 || out.empty()) {
            return 0;
        }
        const auto wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>({out.size(), remaining_, std::uint64_t{1} << 30}));
        std::size_t got = 0;
        while (got < wanted) {
            const ssize_t n = readSome(out.data() + got, wanted - got);
            if (n < 0) {
                return 0;
            }
            if (n == 0) {
                task_->waitUntilExit();
                auto changed = changedFile(layout_.root);
                error_ = changed
                             ? "the data track cannot be read: " + *changed +
                                   " has changed since the track was laid out"
                             : "the data track ended early: genisoimage stopped (status " +
                                   std::to_string(task_->terminationStatus().value_or(-1)) + ")";
                return 0;
            }
            got += static_cast<std::size_t>(n);
        }
        remaining_ -= got;
        if (remaining_ == 0) {
            // The whole image is there only when genisoimage ends its output there and says it
            // made it of the files as they were laid out.
            std::byte more;
            const ssize_t n = readSome(&more, 1);
            if (n != 0) {
                if (n > 0) {
                    error_ = "genisoimage made a larger UDF image than it announced";
                }
                return 0;
            }
            task_->waitUntilExit();
            if (task_->terminationStatus() != 0) {
                error_ = "genisoimage could not make the UDF image (status " +
                         std::to_string(task_->terminationStatus().value_or(-1)) + ")";
                return 0;
            }
            if (auto changed = changedFile(layout_.root)) {
                error_ = "the data track cannot be read: " + *changed +
                         " has changed since the track was laid out";
                return 0;
            }
        }
        return got;
    }

    const std::string& error() const override { return error_; }

private:
    // The next bytes genisoimage writes, 0 at the end of its output; -1 with error_ set.
    ssize_t readSome(void* buffer, std::size_t size) {
        for (;;) {
            const ssize_t n = task_->readStandardOutput(buffer, size, kStall);
            if (n >= 0) {
                return n;
            }
            if (errno != ETIMEDOUT) {
                error_ = "the data track cannot be read: " + std::string(std::strerror(errno));
                return -1;
            }
            // genisoimage waits on something: a pipe put in a file's place waits for ever.
            if (auto changed = changedFile(layout_.root)) {
                error_ = "the data track cannot be read: " + *changed +
                         " has changed since the track was laid out";
                return -1;
            }
        }
    }

    const FolderLayout& layout_;
    std::unique_ptr<StagedTree> staged_;
    std::unique_ptr<Task> task_;
    std::uint64_t remaining_;
    std::string error_;
};

class UdfFilesystemImage : public FilesystemImage {
public:
    // The names genisoimage cannot write are chosen (and warned of) once, for every image.
    explicit UdfFilesystemImage(FolderLayout layout) : layout_(std::move(layout)) {
        renameForGenisoimage(layout_.root, "",
                             (layout_.mask & DRFilesystemInclusionMaskJoliet) != 0, names_);
    }

    // The size comes from genisoimage's own reckoning, without writing anything: the fit is known
    // before a byte is made, and no image waits in a temporary file.
    bool measure(std::string& error) {
        auto staged = StagedTree::make(layout_, names_, error);
        if (!staged) {
            return false;
        }
        Task task;
        task.setLaunchPath(genisoimage());
        task.setArguments(genisoimageArguments(layout_, staged->tree(), true));
        task.setStandardOutput(Task::Output::Pipe);
        std::string printed;
        if (task.launch()) {
            char buffer[256];
            ssize_t n;
            while ((n = task.readStandardOutput(buffer, sizeof buffer)) > 0 &&
                   printed.size() < 4096) {
                printed.append(buffer, static_cast<std::size_t>(n));
            }
        }
        task.waitUntilExit();
        const int status = task.terminationStatus().value_or(Task::kUnknownStatus);
        char* end = nullptr;
        const unsigned long long sectors = std::strtoull(printed.c_str(), &end, 10);
        if (status != 0 || end == printed.c_str() || sectors == 0) {
            error = status == Task::kLaunchFailedStatus
                        ? "UDF images need genisoimage, which cannot be started"
                        : "genisoimage could not lay out the UDF image (status " +
                              std::to_string(status) + ")";
            return false;
        }
        bytes_ = sectors * DRTrack::kDataBlockSize;
        return true;
    }

    std::uint64_t blockCount() const override { return bytes_ / DRTrack::kDataBlockSize; }

    // A UDF-only disc is called by its UDF name; with ISO 9660 or Joliet beside it, by the root's.
    std::string volumeName() const override {
        return layout_.mask == DRFilesystemInclusionMaskUDF ? udfVolumeId(layout_.volumeName)
                                                            : layout_.volumeName;
    }

    std::unique_ptr<DRTrackReader> newReader() const override {
        if (auto changed = changedFile(layout_.root)) {
            return failedReader("the data track cannot be read: " + *changed +
                                " has changed since the track was laid out");
        }
        std::string error;
        auto staged = StagedTree::make(layout_, names_, error);
        if (!staged) {
            return failedReader("the data track cannot be read: " + error);
        }
        auto task = std::make_unique<Task>();
        task->setLaunchPath(genisoimage());
        task->setArguments(genisoimageArguments(layout_, staged->tree(), false));
        task->setStandardOutput(Task::Output::Pipe);
        if (!task->launch()) {
            return failedReader("UDF images need genisoimage, which cannot be started");
        }
        return std::make_unique<StreamReader>(layout_, std::move(staged), std::move(task), bytes_);
    }

private:
    FolderLayout layout_;
    DiscNames names_;
    std::uint64_t bytes_ = 0;
};

}  // namespace

std::unique_ptr<FilesystemImage> makeUdfImage(FolderLayout layout, std::string& error) {
    auto image = std::make_unique<UdfFilesystemImage>(std::move(layout));
    if (!image->measure(error)) {
        return nullptr;
    }
    return image;
}

}  // namespace kilnware::platform::media
