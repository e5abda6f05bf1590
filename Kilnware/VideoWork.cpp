#include "Kilnware/VideoWork.h"

#include <algorithm>
#include <filesystem>

#include "platform/foundation/Strings.h"

namespace kilnware::video {

namespace {
constexpr std::string_view kMpegMark = ".mpg";
constexpr std::string_view kProjectHead =
    "<dvdauthor dest= \"%@\">\n<vmgm />\n<titleset>\n<titles>\n<pgc>\n";
constexpr std::string_view kProjectTail = "</pgc>\n</titles>\n</titleset>\n</dvdauthor>";

std::string escapeXml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string fill(std::string_view format, const std::string& value) {
    std::string out(format);
    out.replace(out.find("%@"), 2, value);
    return out;
}

}  // namespace

WorkPaths workPathsFor(const std::string& first) {
    const auto slash = first.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const auto mark = first.find(kMpegMark);
    std::string folder;
    if (mark != std::string::npos && mark > nameStart) {
        folder = first.substr(0, mark);
    } else {
        const std::string name = first.substr(nameStart);
        std::string stem = platform::stringByDeletingPathExtension(name);
        if (stem == name) {
            stem += "_DVD";
        }
        folder = first.substr(0, nameStart) + stem;
    }
    return WorkPaths{folder, folder + ".xml", folder + ".iso"};
}

std::string projectFileText(const std::string& folder, const std::vector<std::string>& paths) {
    std::string text = fill(kProjectHead, escapeXml(folder));
    for (const auto& path : paths) {
        text += "<vob file=\"" + escapeXml(path) + "\"/>\n";
    }
    text += kProjectTail;
    return text;
}

namespace {
std::filesystem::path canonicalForm(const std::string& path) {
    std::error_code ignored;
    auto absolute = std::filesystem::absolute(path, ignored);
    auto canonical = std::filesystem::weakly_canonical(absolute, ignored);
    return (canonical.empty() ? absolute : canonical).lexically_normal();
}

// Whether `inner` is `outer` or lies somewhere inside it.
bool within(const std::filesystem::path& inner, const std::filesystem::path& outer) {
    auto [end, rest] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    return end == outer.end() || (std::next(end) == outer.end() && end->empty());
}
}  // namespace

std::optional<std::string> clashingWorkPath(const WorkPaths& work,
                                            const std::vector<std::string>& inputs) {
    for (const std::string* path : {&work.image, &work.folder, &work.project}) {
        const auto workPath = canonicalForm(*path);
        for (const std::string& input : inputs) {
            const auto inputPath = canonicalForm(input);
            if (within(workPath, inputPath) || within(inputPath, workPath)) {
                return *path;
            }
        }
    }
    return std::nullopt;
}

namespace {
std::function<void(Step)>& stepHook() {
    static std::function<void(Step)> hook;
    return hook;
}
}  // namespace

void setStepHook(std::function<void(Step)> hook) {
    stepHook() = std::move(hook);
}

void reachStep(Step step) {
    if (stepHook()) {
        stepHook()(step);
    }
}

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace kilnware::video
