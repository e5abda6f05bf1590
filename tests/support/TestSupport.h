#pragma once

#include <sys/resource.h>

#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <kilnware/platform/engines/virtual/ScriptableRecorder.h>
#include <kilnware/platform/foundation/Log.h>
#include <kilnware/platform/foundation/NotificationCenter.h>
#include <kilnware/platform/panels/ScriptedAnswerer.h>

namespace kilnware::test {

// Collects every log line written while it lives, from any thread. Syslog is off meanwhile, so
// tests do not fill the system log.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    bool systemLogWasEnabled_;
    platform::Log::SinkId sink_;
};

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Records the notices of the given names from the process-wide center while it lives.
class NoticeLog {
public:
    struct Entry {
        std::string name;
        std::shared_ptr<platform::Object> object;
        bool hadUserInfo;
    };
    explicit NoticeLog(std::vector<std::string> names);
    ~NoticeLog();
    NoticeLog(const NoticeLog&) = delete;
    NoticeLog& operator=(const NoticeLog&) = delete;

    std::vector<Entry> entries() const;
    std::size_t count(const std::string& name) const;

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

// A scriptable recorder that has appeared, and disappears again when the test ends.
class ScopedRecorder {
public:
    explicit ScopedRecorder(std::string name,
                            platform::ScriptedMedium medium = platform::ScriptedMedium());
    ~ScopedRecorder();
    ScopedRecorder(const ScopedRecorder&) = delete;
    ScopedRecorder& operator=(const ScopedRecorder&) = delete;

    platform::ScriptableRecorder* operator->() const { return recorder_.get(); }
    const std::shared_ptr<platform::ScriptableRecorder>& get() const { return recorder_; }

private:
    std::shared_ptr<platform::ScriptableRecorder> recorder_;
};

// A data track of a few blocks, for recorders that never read it.
class BlankTrack : public platform::DRTrack {
public:
    Kind kind() const override { return Kind::Data; }
    std::uint64_t estimateLength() const override { return 16; }
    std::unique_ptr<platform::DRTrackReader> newReader() const override { return nullptr; }
};

// Installs a scripted answerer for the test and removes it afterwards.
class ScopedAnswerer {
public:
    ScopedAnswerer() : answerer_(platform::ScriptedAnswerer::install()) {}
    ~ScopedAnswerer() { platform::Panels::setAnswerer(nullptr); }
    platform::ScriptedAnswerer* operator->() const { return answerer_.get(); }

private:
    std::shared_ptr<platform::ScriptedAnswerer> answerer_;
};

// A file-size limit stands in for a full disk: writes past it fail with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int);
};

// Bytes that differ from block to block, so that a misplaced block shows.
inline std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7919 + i / 2048) & 0xff);
    }
    return bytes;
}

// Runs the main run loop until `done` holds, for at most ten seconds.
bool runUntil(const std::function<bool()>& done);

// Writes `frames` frames of a quiet tone with libsndfile. `format` is a libsndfile format such as
// SF_FORMAT_WAV | SF_FORMAT_PCM_16.
void writeAudioFile(const std::string& path, int format, int rate, int channels,
                    std::int64_t frames);
// 44.1 kHz 16-bit stereo WAV, the CD's own format.
inline void writeCDWav(const std::string& path, std::int64_t frames) {
    writeAudioFile(path, 0x010002 /* SF_FORMAT_WAV | SF_FORMAT_PCM_16 */, 44100, 2, frames);
}

}  // namespace kilnware::test
