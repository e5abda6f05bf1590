#include "Kilnware/VideoWork.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/foundation/Strings.h"
#include "platform/media/DiscImage.h"

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

bool isDirectory(const std::string& path, bool followLinks) {
    struct stat info {};
    int result = followLinks ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
    return result == 0 && S_ISDIR(info.st_mode);
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

bool isProjectFile(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > (1 << 20)) {
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    std::string text = content.str();
    // Head with any destination, vob lines with any file, then the tail and nothing after it.
    const std::string_view head = kProjectHead;
    const auto destination = head.find("%@");
    if (text.compare(0, destination, head.substr(0, destination)) != 0) {
        return false;
    }
    std::size_t at = text.find('"', destination);
    const std::string_view headRest = head.substr(destination + 2);
    if (at == std::string::npos || text.compare(at, headRest.size(), headRest) != 0) {
        return false;
    }
    at += headRest.size();
    constexpr std::string_view vobStart = "<vob file=\"", vobEnd = "\"/>\n";
    while (text.compare(at, vobStart.size(), vobStart) == 0) {
        auto end = text.find(vobEnd, at + vobStart.size());
        if (end == std::string::npos || text.find('\n', at) < end) {
            return false;
        }
        at = end + vobEnd.size();
    }
    return text.size() - at == kProjectTail.size() &&
           text.compare(at, std::string::npos, kProjectTail) == 0;
}

bool isAuthoredFolder(const std::string& path) {
    if (!isDirectory(path, false)) {
        return false;
    }
    DIR* directory = ::opendir(path.c_str());
    if (!directory) {
        return false;
    }
    bool authored = true;
    while (dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if ((name != "VIDEO_TS" && name != "AUDIO_TS") || !isDirectory(path + "/" + name, false)) {
            authored = false;
            break;
        }
    }
    ::closedir(directory);
    return authored;
}

bool isDiscImage(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           platform::media::readDiscImageInfo(path).has_value();
}

}  // namespace kilnware::video
