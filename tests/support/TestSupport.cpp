#include "tests/support/TestSupport.h"

#include <kilnware/platform/foundation/RunLoop.h>
#include <sndfile.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kilnware::test {

LogCapture::LogCapture() : systemLogWasEnabled_(platform::Log::isSystemLogEnabled()) {
    platform::Log::setSystemLogEnabled(false);
    sink_ = platform::Log::addSink([this](std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    });
}

LogCapture::~LogCapture() {
    platform::Log::removeSink(sink_);
    platform::Log::setSystemLogEnabled(systemLogWasEnabled_);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kilnware-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

NoticeLog::NoticeLog(std::vector<std::string> names) {
    for (auto& name : names) {
        platform::NotificationCenter::defaultCenter().addObserver(
            this, name, nullptr, [this](const platform::Notification& notice) {
                std::lock_guard lock(mutex_);
                entries_.push_back({notice.name, notice.object, notice.userInfo.has_value()});
            });
    }
}

NoticeLog::~NoticeLog() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

std::vector<NoticeLog::Entry> NoticeLog::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::size_t NoticeLog::count(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(),
                                                  [&](const Entry& e) { return e.name == name; }));
}

ScopedRecorder::ScopedRecorder(std::string name, platform::ScriptedMedium medium)
    : recorder_(platform::ScriptableRecorder::create(std::move(name), "USB", std::move(medium))) {
    recorder_->setOperationDuration(std::chrono::milliseconds(4));
    recorder_->appear();
}

ScopedRecorder::~ScopedRecorder() {
    recorder_->disappear();
    recorder_->waitForOperations();
    // Deliver what the recorder's threads posted, so that nothing of this test reaches the next.
    platform::RunLoop::current()->runUntilIdle();
}

bool runUntil(const std::function<bool()>& done) {
    return platform::RunLoop::current()->runUntil(done, std::chrono::seconds(10));
}

void writeAudioFile(const std::string& path, int format, int rate, int channels,
                    std::int64_t frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
    }
    std::vector<float> chunk(static_cast<std::size_t>(4096 * channels));
    for (std::int64_t done = 0; done < frames;) {
        const std::int64_t count = std::min<std::int64_t>(4096, frames - done);
        for (std::int64_t i = 0; i < count; ++i) {
            const float sample =
                0.25f * static_cast<float>(std::sin(2 * 3.14159265358979 * 440.0 *
                                                    static_cast<double>(done + i) / rate));
            for (int c = 0; c < channels; ++c) {
                chunk[static_cast<std::size_t>(i * channels + c)] = sample;
            }
        }
        sf_writef_float(file, chunk.data(), count);
        done += count;
    }
    sf_close(file);
}

}  // namespace kilnware::test
