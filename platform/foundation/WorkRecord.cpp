#include "platform/foundation/WorkRecord.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/foundation/UniqueFd.h"

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

UniqueFd openFolder(const std::string& folder) {
    return UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

UniqueFd openChildFolder(int parent, const std::string& name) {
    return UniqueFd(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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

std::vector<std::string> namesIn(int folder) {
    std::vector<std::string> names;
    UniqueFd copy(::dup(folder));
    DIR* listing = copy ? ::fdopendir(copy.get()) : nullptr;
    if (!listing) {
        return names;
    }
    copy.release();  // the listing owns it now
    ::rewinddir(listing);
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
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
            UniqueFd child = openChildFolder(folder, name);
            if (!child || !walk(child.get(), prefix + name + "/", out)) {
                return false;
            }
        }
    }
    return true;
}

bool removeContent(int folder) {
    bool ok = true;
    for (const std::string& name : namesIn(folder)) {
        struct stat info {};
        if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            UniqueFd child = openChildFolder(folder, name);
            ok = child && removeContent(child.get()) && ok;
            ok = ::unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0 && ok;
        } else {
            ok = ::unlinkat(folder, name.c_str(), 0) == 0 && ok;
        }
    }
    return ok;
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
    const SplitPath where = split(anchor);
    const std::string path =
        (where.folder == "/" ? "" : where.folder) + "/." + where.name + ".kilnware-work";
    // Another run may remove a record just as it is opened here: then open it anew.
    for (int attempt = 0; attempt < 8; ++attempt) {
        UniqueFd fd(
            ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
        if (!fd) {
            error = errno == ELOOP ? path + " is a link, not a record of this library's work"
                                   : path + ": " + std::strerror(errno);
            return nullptr;
        }
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
            (info.st_mode & 077) != 0) {
            error = path + " is not a record of this library's work";
            return nullptr;
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            error = errno == EWOULDBLOCK ? "another run is working with " + anchor + " now"
                                         : path + ": " + std::strerror(errno);
            return nullptr;
        }
        struct stat now {};
        if (::lstat(path.c_str(), &now) != 0 || now.st_dev != info.st_dev ||
            now.st_ino != info.st_ino) {
            continue;
        }
        std::unique_ptr<WorkRecord> record(new WorkRecord(path, std::move(fd)));
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
    if (!fd_) {
        return;
    }
    if (items_.empty()) {
        struct stat mine {};
        struct stat there {};
        if (::fstat(fd_.get(), &mine) == 0 && ::lstat(path_.c_str(), &there) == 0 &&
            mine.st_dev == there.st_dev && mine.st_ino == there.st_ino) {
            ::unlink(path_.c_str());
        }
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

void WorkRecord::save() {
    std::ostringstream out;
    out << kHeader << '\n';
    for (const Item& item : items_) {
        writeEntry(out, "item", item.self);
        for (const Entry& entry : item.content) {
            writeEntry(out, "content", entry);
        }
    }
    const std::string text = out.str();
    if (::ftruncate(fd_.get(), 0) == 0 &&
        ::pwrite(fd_.get(), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) {
        ::fsync(fd_.get());
    }
}

const WorkRecord::Item* WorkRecord::find(const std::string& path) const {
    auto it = std::find_if(items_.begin(), items_.end(),
                           [&](const Item& item) { return item.self.path == key(path); });
    return it == items_.end() ? nullptr : &*it;
}

bool WorkRecord::proves(const std::string& path) const {
    const Item* item = find(path);
    if (!item) {
        return false;
    }
    const SplitPath where = split(path);
    UniqueFd parent = openFolder(where.folder);
    struct stat info {};
    if (!parent || ::fstatat(parent.get(), where.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        info.st_uid != ::geteuid() || !same(entryOf(info, key(path)), item->self)) {
        return false;
    }
    if (item->self.type != 'd') {
        return true;
    }
    UniqueFd folder = openChildFolder(parent.get(), where.name);
    std::vector<Entry> content;
    if (!folder || !walk(folder.get(), "", content) || content.size() != item->content.size()) {
        return false;
    }
    return std::equal(content.begin(), content.end(), item->content.begin(), same);
}

bool WorkRecord::remember(const std::string& path) {
    const SplitPath where = split(path);
    UniqueFd parent = openFolder(where.folder);
    struct stat info {};
    if (!parent || ::fstatat(parent.get(), where.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        info.st_uid != ::geteuid() || (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))) {
        return false;
    }
    Item item{entryOf(info, key(path)), {}};
    if (S_ISDIR(info.st_mode)) {
        UniqueFd folder = openChildFolder(parent.get(), where.name);
        if (!folder || !walk(folder.get(), "", item.content)) {
            return false;
        }
    }
    std::erase_if(items_, [&](const Item& known) { return known.self.path == key(path); });
    items_.push_back(std::move(item));
    save();
    return true;
}

void WorkRecord::forget(const std::string& path) {
    if (std::erase_if(items_, [&](const Item& item) { return item.self.path == key(path); }) > 0) {
        save();
    }
}

bool WorkRecord::removeIfProven(const std::string& path) {
    if (!proves(path)) {
        return false;
    }
    const SplitPath where = split(path);
    UniqueFd parent = openFolder(where.folder);
    if (!parent) {
        return false;
    }
    bool removed = false;
    if (find(path)->self.type == 'd') {
        UniqueFd folder = openChildFolder(parent.get(), where.name);
        struct stat info {};
        removed = folder && ::fstat(folder.get(), &info) == 0 &&
                  info.st_ino == find(path)->self.inode && removeContent(folder.get()) &&
                  ::unlinkat(parent.get(), where.name.c_str(), AT_REMOVEDIR) == 0;
    } else {
        removed = ::unlinkat(parent.get(), where.name.c_str(), 0) == 0;
    }
    if (removed) {
        forget(path);
    }
    return removed;
}

bool WorkRecord::makeFolder(const std::string& path, std::string& error) {
    const SplitPath where = split(path);
    UniqueFd parent = openFolder(where.folder);
    if (!parent || ::mkdirat(parent.get(), where.name.c_str(), 0777) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!remember(path)) {
        error = path + " changed as it was made";
        return false;
    }
    return true;
}

UniqueFd WorkRecord::makeFile(const std::string& path, std::string& error) {
    const SplitPath where = split(path);
    UniqueFd parent = openFolder(where.folder);
    UniqueFd file;
    if (parent) {
        file.reset(::openat(parent.get(), where.name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    }
    if (!file) {
        error = path + ": " + std::strerror(errno);
    }
    return file;
}

}  // namespace kilnware::platform
