// A medium read back: the files of its newest session and each session checked against its MD5
// tags, through a drive held while the reading goes on.

#include <kilnware/platform/discrecording/DRDiscContents.h>
#include <kilnware/platform/engines/libburn/LibburnEngine.h>

#include <sys/stat.h>

#include <numeric>

#include "platform/engines/libburn/LibburnParts.h"
#include "platform/media/DiscReading.h"

namespace kilnware::platform {

using libburn::Drive;

namespace {

class DriveContents : public DRDiscContents {
public:
    // `image`: the disc image file read, where it is no recorder's medium.
    DriveContents(std::unique_ptr<Drive> drive, std::function<void()> released,
                  std::optional<std::string> image = std::nullopt)
        : drive_(std::move(drive)), released_(std::move(released)), image_(std::move(image)) {}
    ~DriveContents() override {
        drive_.reset();
        if (released_) {
            released_();
        }
    }

    std::optional<std::vector<Entry>> list(const std::string& path, std::string& error) override {
        const auto sessions = readSessions(error);
        if (!sessions) {
            return std::nullopt;
        }
        return media::listFolder(sessions->back().start, path, reader(), error);
    }

    std::optional<std::vector<Session>> check(
        const std::function<bool(std::uint64_t, std::uint64_t)>& progress,
        std::string& error) override {
        const auto sessions = readSessions(error);
        if (!sessions) {
            return std::nullopt;
        }
        const std::uint64_t total = std::accumulate(
            sessions->begin(), sessions->end(), std::uint64_t{0},
            [](std::uint64_t sum, const DRMediaSession& s) { return sum + s.length; });
        const media::BlockReader read = reader();
        std::vector<Session> checked;
        std::uint64_t before = 0;
        for (const DRMediaSession& session : *sessions) {
            media::SessionCheck result = media::checkSession(
                session.start, session.length, read,
                [&](std::uint64_t done) { return !progress || progress(before + done, total); });
            if (result.result == media::SessionCheck::Result::Stopped) {
                error = "The check was stopped.";
                return std::nullopt;
            }
            media::nameDamagedFiles(result, read);
            Session report;
            report.number = session.number;
            report.start = session.start;
            report.length = session.length;
            report.state = result.result == media::SessionCheck::Result::Intact
                               ? Session::State::Intact
                           : result.result == media::SessionCheck::Result::Damaged
                               ? Session::State::Damaged
                               : Session::State::NoChecksums;
            report.damagedFrom = result.damagedFrom;
            report.damagedTo = result.damagedTo;
            report.unreadable = result.unreadable;
            report.part = result.part;
            for (const auto& file : result.files) {
                report.files.emplace_back(file.path, file.firstBlock);
            }
            checked.push_back(std::move(report));
            before += session.length;
        }
        return checked;
    }

private:
    std::optional<std::vector<DRMediaSession>> readSessions(std::string& error) const {
        libburn::MediumReading reading = libburn::readMedium(*drive_);
        if (reading.sessions.empty()) {
            error = image_ ? *image_ + " holds no ISO 9660 session to read."
                    : libburn::sessionsUnreadable(libburn::describeMedium(reading))
                        ? "The sessions on the medium cannot be read back."
                        : "The medium holds no session to read.";
            return std::nullopt;
        }
        return reading.sessions;
    }

    media::BlockReader reader() const { return libburn::blockReader(drive_->get()); }

    std::unique_ptr<Drive> drive_;
    std::function<void()> released_;
    std::optional<std::string> image_;
};

}  // namespace

std::unique_ptr<DRDiscContents> LibburnRecorder::contents(std::string& error) {
    if (!claim(error)) {
        return nullptr;
    }
    statusChanged();
    auto drive = Drive::grab(address_, false);
    if (!drive) {
        finish(false);
        error = libburn::lastMessage("The recorder " + address_ + " could not be opened.");
        return nullptr;
    }
    auto self = selfAs<LibburnRecorder>();
    return std::make_unique<DriveContents>(std::move(drive), [self] { self->finish(false); });
}

std::unique_ptr<DRDiscContents> LibburnEngine::contentsOfImage(const std::string& path,
                                                               std::string& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode))) {
        error = path + " is no disc image.";
        return nullptr;
    }
    auto drive = Drive::grab("stdio:" + path, false);
    if (!drive) {
        error = libburn::lastMessage(path + " cannot be read.");
        return nullptr;
    }
    return std::make_unique<DriveContents>(std::move(drive), nullptr, path);
}

}  // namespace kilnware::platform
