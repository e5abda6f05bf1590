#include "DvdLayout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/foundation/UniqueFd.h"

namespace kilnware::standins {

using platform::UniqueFd;

namespace {

// An IFO holds its tables in the first few hundred kilobytes; this is far beyond a real one.
constexpr std::size_t kMaxIfoBytes = 16 * 1024 * 1024;
// Gaps a layout may hold beyond the size of its own files: 16 MB.
constexpr std::uint64_t kMaxSlackSectors = 8192;

std::string titleSetFile(int titleSet, int part, const char* extension) {
    char name[16];
    std::snprintf(name, sizeof name, "VTS_%02d_%d.%s", titleSet, part, extension);
    return name;
}

class Folder : public DvdFiles {
public:
    explicit Folder(std::string path) : path_(std::move(path)) {}

    std::optional<std::uint64_t> size(const std::string& name) const override {
        struct stat info {};
        if (::lstat((path_ + "/" + name).c_str(), &info) != 0) {
            if (errno == ENOENT) {
                return std::nullopt;
            }
            throw DvdLayoutError{name + ": " + std::strerror(errno)};
        }
        if (!S_ISREG(info.st_mode)) {
            throw DvdLayoutError{name + " is not a plain file"};
        }
        return static_cast<std::uint64_t>(info.st_size);
    }

    std::string read(const std::string& name) const override {
        std::string path = path_ + "/" + name;
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!fd) {
            throw DvdLayoutError{name + ": " + std::strerror(errno)};
        }
        std::string data;
        char buffer[65536];
        for (;;) {
            ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                if (got < 0) {
                    throw DvdLayoutError{name + ": " + std::strerror(errno)};
                }
                return data;
            }
            data.append(buffer, static_cast<std::size_t>(got));
            if (data.size() > kMaxIfoBytes) {
                throw DvdLayoutError{name + " is too large for an IFO file"};
            }
        }
    }

private:
    std::string path_;
};

class Ifo {
public:
    Ifo(std::string name, std::string data) : name_(std::move(name)), data_(std::move(data)) {}

    std::uint32_t u32(std::uint64_t offset) const {
        need(offset, 4);
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8) | byte(offset + static_cast<std::uint64_t>(i));
        }
        return value;
    }
    std::uint16_t u16(std::uint64_t offset) const {
        need(offset, 2);
        return static_cast<std::uint16_t>((byte(offset) << 8) | byte(offset + 1));
    }
    std::uint8_t u8(std::uint64_t offset) const {
        need(offset, 1);
        return byte(offset);
    }
    bool hasMagic(const char* magic) const { return data_.compare(0, 12, magic) == 0; }
    const std::string& name() const { return name_; }

private:
    std::uint8_t byte(std::uint64_t offset) const {
        return static_cast<std::uint8_t>(data_[static_cast<std::size_t>(offset)]);
    }
    void need(std::uint64_t offset, std::uint64_t count) const {
        if (offset + count > data_.size()) {
            throw DvdLayoutError{name_ + " is cut short (it has no byte " +
                                 std::to_string(offset + count - 1) + ")"};
        }
    }

    std::string name_;
    std::string data_;
};

// Sector offsets shared by both kinds of IFO.
constexpr std::uint64_t kLastSectorOfSet = 0x0C;
constexpr std::uint64_t kLastSectorOfIfo = 0x1C;
constexpr std::uint64_t kMenuVobStart = 0xC0;
// In a title set's IFO: the first title VOB. In VIDEO_TS.IFO: the table of titles.
constexpr std::uint64_t kTitleVobStart = 0xC4;
constexpr std::uint64_t kTitleTable = 0xC4;
constexpr std::uint64_t kTitleSetCount = 0x3E;

struct Placement {
    std::string name;
    std::uint64_t start;
    std::uint64_t sectors;
};

class Planner {
public:
    explicit Planner(const DvdFiles& folder) : folder_(folder) {}

    void place(const std::string& name, std::uint64_t start) {
        auto size = folder_.size(name);
        if (!size) {
            throw DvdLayoutError{name + " is missing"};
        }
        placements_.push_back({name, start, (*size + kSectorBytes - 1) / kSectorBytes});
    }

    // The BUP repeats the IFO at the end of its set.
    void placeSet(const Ifo& ifo, std::uint64_t start, const std::string& bup) {
        std::uint64_t last = ifo.u32(kLastSectorOfSet);
        std::uint64_t ifoLast = ifo.u32(kLastSectorOfIfo);
        if (ifoLast > last) {
            throw DvdLayoutError{ifo.name() + " ends its set before the end of the IFO"};
        }
        place(ifo.name(), start);
        place(bup, start + last - ifoLast);
    }

    DvdLayout layout() {
        std::sort(placements_.begin(), placements_.end(),
                  [](const Placement& a, const Placement& b) { return a.start < b.start; });
        DvdLayout plan;
        std::uint64_t end = 0;
        const Placement* previous = nullptr;
        for (const Placement& p : placements_) {
            if (p.start < end) {
                throw DvdLayoutError{p.name + " should start " + std::to_string(p.start) +
                                     " sectors after VIDEO_TS.IFO, but " + previous->name +
                                     " reaches to sector " + std::to_string(end)};
            }
            plan.items.push_back({p.name, p.start - end, p.sectors});
            end = p.start + p.sectors;
            previous = &p;
        }
        if (end > kLargestDiscSectors) {
            throw DvdLayoutError{"the IFO files place " + previous->name +
                                 " beyond the end of the largest DVD"};
        }
        // A real DVD leaves a few sectors between its files; an IFO that asks for far more than
        // the folder holds would make a huge image of padding, and is damaged or forged.
        std::uint64_t padding = 0, content = 0;
        for (const DvdLayout::Item& item : plan.items) {
            padding += item.paddingBefore;
            content += item.sectors;
        }
        if (padding > content + kMaxSlackSectors) {
            throw DvdLayoutError{"the IFO files ask for " + std::to_string(padding) +
                                 " sectors of gaps between files that fill only " +
                                 std::to_string(content)};
        }
        return plan;
    }

private:
    const DvdFiles& folder_;
    std::vector<Placement> placements_;
};

}  // namespace

std::optional<DvdLayout> planDvdLayout(const std::string& videoTs, std::string& error) {
    return planDvdLayout(Folder(videoTs), error);
}

std::optional<DvdLayout> planDvdLayout(const DvdFiles& folder, std::string& error) {
    try {
        Planner planner(folder);
        Ifo vmg("VIDEO_TS.IFO", folder.read("VIDEO_TS.IFO"));
        if (!vmg.hasMagic("DVDVIDEO-VMG")) {
            throw DvdLayoutError{"VIDEO_TS.IFO is not a video manager IFO"};
        }
        planner.placeSet(vmg, 0, "VIDEO_TS.BUP");
        if (std::uint32_t menu = vmg.u32(kMenuVobStart); menu != 0) {
            planner.place("VIDEO_TS.VOB", menu);
        }

        // Each title names its title set and where that set's IFO starts.
        const int titleSets = vmg.u16(kTitleSetCount);
        if (titleSets < 1 || titleSets > 99) {
            throw DvdLayoutError{"VIDEO_TS.IFO gives " + std::to_string(titleSets) +
                                 " title sets; a DVD has 1 to 99"};
        }
        const std::uint64_t table = std::uint64_t{vmg.u32(kTitleTable)} * kSectorBytes;
        const int titles = vmg.u16(table);
        std::map<int, std::uint64_t> setStarts;
        for (int i = 0; i < titles; ++i) {
            const std::uint64_t entry = table + 8 + 12 * static_cast<std::uint64_t>(i);
            int set = vmg.u8(entry + 6);
            std::uint64_t start = vmg.u32(entry + 8);
            if (set < 1 || set > titleSets) {
                throw DvdLayoutError{"title " + std::to_string(i + 1) +
                                     " in VIDEO_TS.IFO names title set " + std::to_string(set) +
                                     " of " + std::to_string(titleSets)};
            }
            auto [known, added] = setStarts.emplace(set, start);
            if (!added && known->second != start) {
                throw DvdLayoutError{"VIDEO_TS.IFO gives two starts for title set " +
                                     std::to_string(set)};
            }
        }

        for (int set = 1; set <= titleSets; ++set) {
            auto start = setStarts.find(set);
            if (start == setStarts.end()) {
                throw DvdLayoutError{"VIDEO_TS.IFO gives no start for title set " +
                                     std::to_string(set)};
            }
            std::string ifoName = titleSetFile(set, 0, "IFO");
            Ifo vts(ifoName, folder.read(ifoName));
            if (!vts.hasMagic("DVDVIDEO-VTS")) {
                throw DvdLayoutError{ifoName + " is not a title set IFO"};
            }
            const std::uint64_t base = start->second;
            planner.placeSet(vts, base, titleSetFile(set, 0, "BUP"));
            if (std::uint32_t menu = vts.u32(kMenuVobStart); menu != 0) {
                planner.place(titleSetFile(set, 0, "VOB"), base + menu);
            }
            if (std::uint32_t first = vts.u32(kTitleVobStart); first != 0) {
                // The title VOBs are one stream cut into files of at most 1 GB, back to back.
                std::uint64_t at = base + first;
                for (int part = 1; part <= 9; ++part) {
                    std::string name = titleSetFile(set, part, "VOB");
                    auto size = folder.size(name);
                    if (!size) {
                        if (part == 1) {
                            throw DvdLayoutError{name + " is missing"};
                        }
                        break;
                    }
                    planner.place(name, at);
                    at += (*size + kSectorBytes - 1) / kSectorBytes;
                }
            }
        }
        return planner.layout();
    } catch (const DvdLayoutError& failure) {
        error = failure.message;
        return std::nullopt;
    }
}

}  // namespace kilnware::standins
