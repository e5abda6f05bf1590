// The VIDEO_TS layout planner of kilnware-hdiutil, over a folder given from memory. The input is
// a list of files, each: its name, a NUL, its size (8 bytes, little-endian), the length of its
// contents (4 bytes, little-endian) and the contents (an IFO's bytes; empty for the rest).

#include <map>
#include <set>

#include "DvdLayout.h"
#include "FuzzSupport.h"

using namespace kilnware;
using standins::DvdLayoutError;

namespace {

struct File {
    std::uint64_t size = 0;
    std::string contents;
};

class MemoryFolder : public standins::DvdFiles {
public:
    explicit MemoryFolder(std::string_view input) {
        while (!input.empty()) {
            const std::size_t end = input.find('\0');
            if (end == std::string_view::npos || input.size() - end - 1 < 12) {
                break;
            }
            File file;
            auto number = [&](std::size_t at, int bytes) {
                std::uint64_t value = 0;
                for (int i = bytes - 1; i >= 0; --i) {
                    value = value << 8 | static_cast<unsigned char>(input[at + i]);
                }
                return value;
            };
            file.size = number(end + 1, 8);
            const std::size_t length =
                std::min<std::size_t>(number(end + 9, 4), input.size() - end - 13);
            file.contents = input.substr(end + 13, length);
            files_[std::string(input.substr(0, end))] = std::move(file);
            input.remove_prefix(end + 13 + length);
        }
    }

    std::optional<std::uint64_t> size(const std::string& name) const override {
        auto file = files_.find(name);
        return file == files_.end() ? std::nullopt : std::optional(file->second.size);
    }
    std::string read(const std::string& name) const override {
        auto file = files_.find(name);
        if (file == files_.end()) {
            throw DvdLayoutError{name + ": No such file or directory"};
        }
        return file->second.contents;
    }

private:
    std::map<std::string, File> files_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const MemoryFolder folder({reinterpret_cast<const char*>(data), size});
    std::string error;
    const auto layout = standins::planDvdLayout(folder, error);
    fuzz::require(layout.has_value() == error.empty(), "a refusal says why, and only a refusal");
    if (!layout) {
        return 0;
    }
    fuzz::require(!layout->items.empty() && layout->items.front().name == "VIDEO_TS.IFO" &&
                      layout->items.front().paddingBefore == 0,
                  "VIDEO_TS.IFO comes first, at the start");
    std::uint64_t end = 0;
    std::set<std::string> names;
    for (const auto& item : layout->items) {
        fuzz::require(folder.size(item.name).has_value(), "every file placed is in the folder");
        fuzz::require(names.insert(item.name).second, "no file is placed twice");
        end += item.paddingBefore + item.sectors;
    }
    fuzz::require(end <= standins::kLargestDiscSectors, "the layout fits on the largest DVD");
    return 0;
}
