// kilnware ls and kilnware check: a disc or image read back.

#include <ctime>

#include <kilnware/platform/discrecording/DRDiscContents.h>
#include <kilnware/platform/foundation/RunLoop.h>

#include "Session.h"

namespace kilnware::cli {

using namespace platform;
using nlohmann::json;

namespace {

// As ls -l and xorriso -lsl show permissions.
std::string modeText(const DRDiscContents::Entry& entry) {
    std::string text = entry.folder ? "d" : entry.link ? "l" : "-";
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        text += (entry.mode & (0400u >> bit)) ? letters[bit] : '-';
    }
    return text;
}

// The date as ls shows it: the time this half year, the year before.
std::string dateText(std::int64_t seconds) {
    const auto when = static_cast<time_t>(seconds);
    std::tm local{};
    localtime_r(&when, &local);
    const bool recent = std::time(nullptr) - when < 180 * 24 * 3600;
    char text[32];
    std::strftime(text, sizeof text, recent ? "%b %e %H:%M" : "%b %e  %Y", &local);
    return text;
}

std::string quoted(const std::string& name) {
    std::string text = "'";
    for (char c : name) {
        text += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
    }
    return text + "'";
}

}  // namespace

std::unique_ptr<DRDiscContents> Session::contentsToRead(const std::optional<std::string>& image,
                                                        int& status) {
    std::string error;
    std::unique_ptr<DRDiscContents> contents;
    if (image) {
        contents = LibburnEngine::contentsOfImage(*image, error);
    } else {
        // The command line names an image or a recorder.
        RunLoop::current()->runUntilIdle();
        auto device = namedRecorder();
        if (!device) {
            status = refuseToBegin(noSuchRecorder());
            return nullptr;
        }
        contents = device->contents(error);
    }
    if (!contents) {
        status = kFailed;
        result(kFailed, "failed", error, error);
    }
    return contents;
}

int Session::list(const std::optional<std::string>& image, const std::string& path) {
    int status = kSucceeded;
    auto contents = contentsToRead(image, status);
    if (!contents) {
        return status;
    }
    std::string error;
    const auto entries = contents->list(path, error);
    if (!entries) {
        result(kFailed, "failed", error, error);
        return kFailed;
    }
    json listed = json::array();
    for (const DRDiscContents::Entry& entry : *entries) {
        char line[128];
        std::snprintf(line, sizeof line, "%s %4d %-8u %-8u %8llu %s ", modeText(entry).c_str(), 1,
                      entry.owner, entry.group, static_cast<unsigned long long>(entry.size),
                      dateText(entry.modified).c_str());
        output_.say(line + quoted(entry.name) + (entry.link ? " -> " + quoted(entry.target) : ""));
        listed.push_back({{"name", entry.name},
                          {"type", entry.folder ? "folder"
                                   : entry.link ? "link"
                                                : "file"},
                          {"size", entry.size},
                          {"modified", entry.modified},
                          {"mode", entry.mode}});
    }
    output_.event({{"event", "ls"}, {"path", path}, {"entries", listed}});
    return kSucceeded;
}

int Session::check(const std::optional<std::string>& image) {
    int status = kSucceeded;
    auto contents = contentsToRead(image, status);
    if (!contents) {
        return status;
    }
    std::string error;
    int lastPercent = -1;
    const auto sessions = contents->check(
        [&](std::uint64_t done, std::uint64_t total) {
            const int percent = total ? static_cast<int>(done * 100 / total) : 100;
            if (percent != lastPercent && output_.progressBar()) {
                output_.bar("Checking: " + std::to_string(percent) + "%");
            }
            lastPercent = percent;
            return !interruptRequested();
        },
        error);
    output_.endBar();
    if (!sessions) {
        result(interruptRequested() ? kNothingBurned : kFailed,
               interruptRequested() ? "cancelled" : "failed", error, error);
        return interruptRequested() ? kNothingBurned : kFailed;
    }
    bool damaged = false;
    json reports = json::array();
    for (const DRDiscContents::Session& session : *sessions) {
        using State = DRDiscContents::Session::State;
        std::string said = "Session " + std::to_string(session.number) + " (blocks " +
                           std::to_string(session.start) + " to " +
                           std::to_string(session.start + session.length - 1) + "): ";
        json files = json::array();
        if (session.state == State::Intact) {
            said += "intact.";
        } else if (session.state == State::NoChecksums) {
            said += "not checked: it was written without checksums.";
        } else {
            damaged = true;
            said += "damaged from block " + std::to_string(session.damagedFrom) + " (" +
                    session.part + "), which " +
                    (session.unreadable ? "cannot be read" : "reads back otherwise than written");
            for (std::size_t i = 0; i < session.files.size(); ++i) {
                said += (i == 0 ? ": " : ", ") + session.files[i].first + " (from block " +
                        std::to_string(session.files[i].second) + ")";
                files.push_back(
                    {{"path", session.files[i].first}, {"firstBlock", session.files[i].second}});
            }
            said += ".";
        }
        output_.say(said);
        reports.push_back({{"number", session.number},
                           {"start", session.start},
                           {"length", session.length},
                           {"state", session.state == State::Intact    ? "intact"
                                     : session.state == State::Damaged ? "damaged"
                                                                       : "no checksums"},
                           {"damagedFrom", session.damagedFrom},
                           {"damagedTo", session.damagedTo},
                           {"unreadable", session.unreadable},
                           {"part", session.part},
                           {"files", files}});
    }
    output_.event({{"event", "check"}, {"sessions", reports}});
    if (damaged) {
        result(kFailed, "failed", "The disc is damaged.", "The disc is damaged.");
        return kFailed;
    }
    result(kSucceeded, "done", "");
    return kSucceeded;
}

}  // namespace kilnware::cli
