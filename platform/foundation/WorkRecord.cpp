#include "platform/foundation/WorkRecord.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include <kilnware/platform/foundation/FileManager.h>

#include "platform/foundation/Folders.h"

namespace kilnware::platform {

namespace {

constexpr const char* kHeader = "kilnware-work 1";

struct SplitPath {
    std::string folder;
    std::string name;
};

// Items are known by their absolute path, however a caller names them.
std::string key(const std::string& path) {
    std::error_code ignored;
    auto absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? path : absolute.lexically_normal().string();
}

SplitPath split(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

WorkRecord::Entry entryOf(const struct stat& info, std::string path) {
    WorkRecord::Entry entry;
    entry.path = std::move(path);
    entry.type = S_ISREG(info.st_mode) ? 'f' : S_ISDIR(info.st_mode) ? 'd' : 'o';
    entry.device = info.st_dev;
    entry.inode = info.st_ino;
    entry.size = static_cast<std::uint64_t>(info.st_size);
    entry.seconds = info.st_mtim.tv_sec;
    entry.nanoseconds = info.st_mtim.tv_nsec;
    return entry;
}

// A folder's own times change with what is added and taken away; its content is compared on its
// own, so a folder is known by its identity alone.
bool same(const WorkRecord::Entry& a, const WorkRecord::Entry& b) {
    if (a.path != b.path || a.type != b.type || a.device != b.device || a.inode != b.inode) {
        return false;
    }
    return a.type == 'd' ||
           (a.size == b.size && a.seconds == b.seconds && a.nanoseconds == b.nanoseconds);
}

// Everything inside `folder`, never following a link.
bool walk(int folder, const std::string& prefix, std::vector<WorkRecord::Entry>& out) {
    for (const std::string& name : namesIn(folder)) {
        struct stat info {};
        if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return false;
        }
        out.push_back(entryOf(info, prefix + name));
        if (S_ISDIR(info.st_mode)) {
            UniqueFd child = openFolderIn(folder, name);
            if (!child || !walk(child.get(), prefix + name + "/", out)) {
                return false;
            }
        }
    }
    return true;
}

std::string hex(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::optional<std::string> unhex(const std::string& text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const std::string pair = text.substr(i, 2);
        char* end = nullptr;
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0') {
            return std::nullopt;
        }
        out += static_cast<char>(value);
    }
    return out;
}

void writeEntry(std::ostream& out, const char* kind, const WorkRecord::Entry& e) {
    out << kind << ' ' << hex(e.path) << ' ' << e.type << ' ' << e.device << ' ' << e.inode << ' '
        << e.size << ' ' << e.seconds << ' ' << e.nanoseconds << '\n';
}

bool readEntry(std::istream& line, WorkRecord::Entry& e) {
    std::string path;
    if (!(line >> path >> e.type >> e.device >> e.inode >> e.size >> e.seconds >> e.nanoseconds)) {
        return false;
    }
    auto decoded = unhex(path);
    if (!decoded) {
        return false;
    }
    e.path = *decoded;
    return true;
}

}  // namespace

std::unique_ptr<WorkRecord> WorkRecord::open(const std::string& anchor, std::string& error) {
    const SplitPath where = split(key(anchor));
    const std::string name = "." + where.name + ".kilnware-work";
    const std::string path = (where.folder == "/" ? "" : where.folder) + "/" + name;
    UniqueFd folder = openFolderOnce(where.folder);
    if (!folder) {
        error = errno == ESTALE ? where.folder + " changed while it was opened"
                                : where.folder + ": " + std::strerror(errno);
        return nullptr;
    }
    // Another run may replace or remove the record just as it is opened here: then open it anew.
    for (int attempt = 0; attempt < 8; ++attempt) {
        UniqueFd fd(::openat(folder.get(), name.c_str(),
                             O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
        if (!fd) {
            error = errno == ELOOP ? path + " is a link, not a record of this library's work"
                                   : path + ": " + std::strerror(errno);
            return nullptr;
        }
        // One name only: a second one could be another file of the user's that a save must not
        // write (and saving replaces the name, never writes the file).
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
            (info.st_mode & 077) != 0 || info.st_nlink != 1) {
            error = path + " is not a record of this library's work";
            return nullptr;
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            error = errno == EWOULDBLOCK ? "another run is working with " + anchor + " now"
                                         : path + ": " + std::strerror(errno);
            return nullptr;
        }
        struct stat now {};
        if (::fstatat(folder.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            !sameFile(now, info)) {
            continue;
        }
        std::unique_ptr<WorkRecord> record(
            new WorkRecord(where.folder, std::move(folder), name, std::move(fd)));
        if (!record->load()) {
            record->fd_.reset();  // not ours to remove either
            error = path + " is not a record of this library's work";
            return nullptr;
        }
        return record;
    }
    error = path + " keeps changing";
    return nullptr;
}

WorkRecord::~WorkRecord() {
    if (!fd_ || !items_.empty()) {
        return;
    }
    struct stat mine {};
    struct stat there {};
    if (::fstat(fd_.get(), &mine) == 0 &&
        ::fstatat(folder_.get(), name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(mine, there)) {
        ::unlinkat(folder_.get(), name_.c_str(), 0);
    }
}

bool WorkRecord::load() {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::pread(fd_.get(), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > (std::size_t{1} << 20)) {
            return false;
        }
    }
    if (text.empty()) {
        return true;
    }
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) {
        return false;
    }
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        Entry entry;
        if (!readEntry(fields, entry)) {
            return false;
        }
        if (kind == "item") {
            items_.push_back(Item{entry, {}});
        } else if (kind == "content" && !items_.empty()) {
            items_.back().content.push_back(entry);
        } else {
            return false;
        }
    }
    return true;
}

bool WorkRecord::save(std::string& error) {
    std::ostringstream out;
    out << kHeader << '\n';
    for (const Item& item : items_) {
        writeEntry(out, "item", item.self);
        for (const Entry& entry : item.content) {
            writeEntry(out, "content", entry);
        }
    }
    // The new record is whole on the disk and locked before it takes the name: a run that opens
    // the record meanwhile finds one or the other, each locked.
    std::random_device entropy;
    std::string temporary;
    UniqueFd fresh;
    for (int attempt = 0; attempt < 100 && !fresh; ++attempt) {
        temporary = name_ + "." + std::to_string(entropy());
        fresh.reset(::openat(folder_.get(), temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fresh && errno != EEXIST) {
            break;
        }
    }
    int failure = fresh ? writeAll(fresh.get(), out.str()) : errno;
    if (failure == 0 &&
        (::fsync(fresh.get()) != 0 || ::flock(fresh.get(), LOCK_EX | LOCK_NB) != 0 ||
         ::renameat(folder_.get(), temporary.c_str(), folder_.get(), name_.c_str()) != 0)) {
        failure = errno;
    }
    if (failure != 0) {
        struct stat mine {};
        struct stat there {};
        if (fresh && ::fstat(fresh.get(), &mine) == 0 &&
            ::fstatat(folder_.get(), temporary.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(mine, there)) {
            ::unlinkat(folder_.get(), temporary.c_str(), 0);
        }
        error = "the record of this work cannot be saved in " + folderPath_ + ": " +
                std::strerror(failure);
        return false;
    }
    fd_ = std::move(fresh);
    // The name itself reaches the disk too.
    if (::fsync(folder_.get()) != 0) {
        error = "the record of this work cannot be saved in " + folderPath_ + ": " +
                std::strerror(errno);
        return false;
    }
    return true;
}

std::optional<std::string> WorkRecord::nameOf(const std::string& path) const {
    const SplitPath where = split(key(path));
    if (where.folder != folderPath_ || where.name.empty() || where.name == "." ||
        where.name == "..") {
        return std::nullopt;
    }
    return where.name;
}

const WorkRecord::Item* WorkRecord::find(const std::string& path) const {
    auto it = std::find_if(items_.begin(), items_.end(),
                           [&](const Item& item) { return item.self.path == key(path); });
    return it == items_.end() ? nullptr : &*it;
}

bool WorkRecord::proves(const std::string& path) const {
    const Item* item = find(path);
    const auto name = nameOf(path);
    struct stat info {};
    if (!item || !name ||
        ::fstatat(folder_.get(), name->c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        info.st_uid != ::geteuid() || !same(entryOf(info, key(path)), item->self)) {
        return false;
    }
    if (item->self.type != 'd') {
        return true;
    }
    UniqueFd folder = openFolderIn(folder_.get(), *name);
    std::vector<Entry> content;
    if (!folder || !walk(folder.get(), "", content) || content.size() != item->content.size()) {
        return false;
    }
    return std::equal(content.begin(), content.end(), item->content.begin(), same);
}

bool WorkRecord::remember(const std::string& path, std::string& error) {
    return remember(path, nullptr, error);
}

bool WorkRecord::remember(const std::string& path, const struct stat* made, std::string& error) {
    const auto name = nameOf(path);
    struct stat info {};
    if (!name || ::fstatat(folder_.get(), name->c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        info.st_uid != ::geteuid() || (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) ||
        (made && !sameFile(info, *made))) {
        error = path + " is not as this run made it";
        return false;
    }
    Item item{entryOf(info, key(path)), {}};
    if (S_ISDIR(info.st_mode)) {
        UniqueFd folder = openFolderIn(folder_.get(), *name);
        if (!folder || !walk(folder.get(), "", item.content)) {
            error = path + " changed while it was being recorded";
            return false;
        }
    }
    std::erase_if(items_, [&](const Item& known) { return known.self.path == key(path); });
    items_.push_back(std::move(item));
    return save(error);
}

bool WorkRecord::forget(const std::string& path, std::string& error) {
    if (std::erase_if(items_, [&](const Item& item) { return item.self.path == key(path); }) == 0) {
        return true;
    }
    return save(error);
}

bool WorkRecord::removeIfProven(const std::string& path, const FileManager& fileManager,
                                std::string& error) {
    if (!proves(path)) {
        error = path + " is not as this library made it";
        return false;
    }
    const Entry& self = find(path)->self;
    const FileManager::ProvenItem item{path, folder_.get(), *nameOf(path),
                                       static_cast<std::uint64_t>(self.device),
                                       static_cast<std::uint64_t>(self.inode)};
    if (!fileManager.removeProvenItem(item, &error)) {
        return false;
    }
    return forget(path, error);
}

bool WorkRecord::makeFolder(const std::string& path, std::string& error) {
    const auto name = nameOf(path);
    if (!name || ::mkdirat(folder_.get(), name->c_str(), 0777) != 0) {
        error = std::strerror(name ? errno : EINVAL);
        return false;
    }
    if (!remember(path, error)) {
        ::unlinkat(folder_.get(), name->c_str(), AT_REMOVEDIR);  // only while it is empty
        std::string ignored;
        forget(path, ignored);
        return false;
    }
    return true;
}

bool WorkRecord::makeFile(const std::string& path, std::string_view text, std::string& error) {
    const auto name = nameOf(path);
    UniqueFd file;
    if (name) {
        file.reset(::openat(folder_.get(), name->c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    }
    if (!file) {
        error = std::strerror(name ? errno : EINVAL);
        return false;
    }
    struct stat made {};
    int failure = ::fstat(file.get(), &made) != 0 ? errno : writeAll(file.get(), text);
    if (failure == 0 && ::fsync(file.get()) != 0) {
        failure = errno;
    }
    if (failure == 0) {
        failure = file.close();
    }
    if (failure != 0) {
        error = std::strerror(failure);
    }
    if (failure != 0 || !remember(path, &made, error)) {
        // What this call made, and only that, goes again.
        struct stat there {};
        if (::fstatat(folder_.get(), name->c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(there, made)) {
            ::unlinkat(folder_.get(), name->c_str(), 0);
        }
        std::string ignored;
        forget(path, ignored);
        return false;
    }
    return true;
}

}  // namespace kilnware::platform
