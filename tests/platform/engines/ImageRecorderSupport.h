#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRBurn.h>
#include <kilnware/platform/discrecording/DRNotificationCenter.h>
#include <kilnware/platform/engines/virtual/ImageRecorder.h>
#include <kilnware/platform/foundation/RunLoop.h>
#include "platform/engines/virtual/ImageBurn.h"
#include "tests/support/Programs.h"
#include "tests/support/TestSupport.h"

namespace kilnware::test {

// A data or disc-image track over a file the test wrote, streamed in whole 2048-byte blocks.
class FileTrack : public platform::DRTrack {
public:
    struct Options {
        std::optional<std::string> volumeName = std::nullopt;
        bool exposeSourceFile = false;
        std::optional<std::uint64_t> announcedBlocks = std::nullopt;  // instead of the file's
        std::size_t extraBytes = 0;  // the reader gives this many past what the track announced
        // The reader fails after this many bytes, saying so or throwing.
        std::optional<std::size_t> failAfter = std::nullopt;
        bool throws = false;
        // The reader holds its bytes back until the test sets this, to act on a burn surely under
        // way; a test that stops early breaks the promise, which lets the reader go as well.
        std::optional<std::shared_future<void>> gate = std::nullopt;
    };
    FileTrack(std::string path, Kind kind, Options options)
        : path_(std::move(path)), kind_(kind), options_(std::move(options)) {}

    Kind kind() const override { return kind_; }
    std::uint64_t estimateLength() const override {
        if (options_.announcedBlocks) {
            return *options_.announcedBlocks;
        }
        const auto size = std::filesystem::file_size(path_);
        return (size + kDataBlockSize - 1) / kDataBlockSize;
    }
    std::unique_ptr<platform::DRTrackReader> newReader() const override {
        std::string bytes = readFile(path_);
        bytes.resize(estimateLength() * (kind_ == Kind::Audio ? kAudioBlockSize : kDataBlockSize) +
                     options_.extraBytes);
        return std::make_unique<Reader>(std::move(bytes), options_);
    }
    std::optional<std::string> volumeName() const override { return options_.volumeName; }
    std::optional<FileExtent> fileExtent() const override {
        if (!options_.exposeSourceFile) {
            return std::nullopt;
        }
        return FileExtent{path_, 0, std::filesystem::file_size(path_)};
    }

private:
    class Reader : public platform::DRTrackReader {
    public:
        Reader(std::string bytes, const Options& options)
            : bytes_(std::move(bytes)), options_(options) {}
        std::size_t read(std::span<std::byte> out) override {
            if (options_.gate) {
                options_.gate->wait();
            }
            const std::size_t end = std::min(bytes_.size(), options_.failAfter.value_or(SIZE_MAX));
            if (position_ >= end && end < bytes_.size()) {
                if (options_.throws) {
                    throw std::runtime_error("the source threw");
                }
                error_ = "the source went away";
                return 0;
            }
            const std::size_t n = std::min(out.size(), end - position_);
            std::memcpy(out.data(), bytes_.data() + position_, n);
            position_ += n;
            return n;
        }
        const std::string& error() const override { return error_; }

    private:
        std::string bytes_;
        const Options options_;
        std::size_t position_ = 0;
        std::string error_;
    };

    std::string path_;
    Kind kind_;
    Options options_;
};

// Starts `burn` of `layout` and runs the loop until it ends; returns its last status, keeping
// every status of it in `statuses`.
inline platform::Dictionary burnAndWait(const std::shared_ptr<platform::DRBurn>& burn,
                                        const platform::Value& layout,
                                        std::vector<platform::Dictionary>& statuses) {
    statuses.clear();
    bool ended = false;
    burn->setStatusHandler([&](const platform::Dictionary& status) {
        statuses.push_back(status);
        ended = platform::DROperation::isFinal(status);
    });
    burn->writeLayout(layout);
    EXPECT_TRUE(runUntil([&] { return ended; }));
    return statuses.empty() ? platform::Dictionary() : statuses.back();
}

// Erases the medium in `device` as `type` says and runs the loop until the erase ends; returns
// its last status.
inline platform::Dictionary eraseAndWait(const std::shared_ptr<platform::DRDevice>& device,
                                         const std::string& type = platform::DREraseTypeQuick) {
    auto erase = platform::DRErase::eraseForDevice(device);
    erase->setEraseType(type);
    platform::Dictionary last;
    erase->setStatusHandler([&](const platform::Dictionary& status) { last = status; });
    erase->start();
    EXPECT_TRUE(runUntil([&] { return platform::DROperation::isFinal(last); }));
    return last;
}

// The burns' clock, driven by the test: time passes only as a burn sleeps, and while the clock is
// held a burn that paces itself stays in its sleep.
class TestClock : public platform::image::BurnClock {
public:
    std::chrono::steady_clock::time_point now() override {
        std::function<void()> action;
        {
            std::lock_guard lock(mutex_);
            if (callsLeft_ > 0 && --callsLeft_ == 0) {
                action = std::move(action_);
            }
        }
        if (action) {
            action();
        }
        std::lock_guard lock(mutex_);
        return now_;
    }
    // Runs `action` on the burn's thread as it asks the time for the `call`th time from now on (a
    // burn asks as it starts and after each step): at a point of the burn that sizes alone decide.
    void atCall(int call, std::function<void()> action) {
        std::lock_guard lock(mutex_);
        callsLeft_ = call;
        action_ = std::move(action);
    }
    void sleepFor(std::chrono::steady_clock::duration duration) override {
        std::unique_lock lock(mutex_);
        now_ += duration;
        changed_.wait(lock, [&] { return !held_; });
    }
    void hold(bool held) {
        std::lock_guard lock(mutex_);
        held_ = held;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::steady_clock::time_point now_;
    bool held_ = false;
    int callsLeft_ = 0;
    std::function<void()> action_;
};

// An image recorder writing into a fresh folder, announced for the test and withdrawn after it.
class ImageRecorderFixture : public ::testing::Test {
protected:
    TempDir out;
    TempDir sources;  // what the test burns
    std::shared_ptr<platform::ImageRecorder> recorder = platform::ImageRecorder::create(out.path());
    std::vector<platform::Dictionary> statuses;
    // The recorder's status as each of its status-changed notices found it.
    std::vector<platform::Dictionary> notices;
    std::shared_ptr<TestClock> clock = std::make_shared<TestClock>();

    void SetUp() override {
        platform::image::setBurnClock(clock);
        recorder->setMediumChangeDelay(std::chrono::milliseconds(20));
        recorder->setEraseDuration(std::chrono::milliseconds(40));
        platform::DeviceRegistry::deviceAppeared(recorder);
        platform::DRNotificationCenter::currentRunLoopCenter()->addObserver(
            this, std::string(platform::DRDeviceStatusChangedNotification), recorder.get(),
            [this](const platform::Notification&) { notices.push_back(recorder->status()); });
        platform::RunLoop::current()->runUntilIdle();
        notices.clear();
    }
    void TearDown() override {
        platform::DRNotificationCenter::currentRunLoopCenter()->removeObserver(this);
        platform::DeviceRegistry::deviceDisappeared(recorder);
        clock->hold(false);
        recorder->waitForOperations();
        platform::image::setBurnClock(nullptr);
        platform::RunLoop::current()->runUntilIdle();
    }

    // Burns `layout` and returns the last status, keeping every status of this burn in `statuses`.
    platform::Dictionary burn(const platform::Value& layout, platform::Dictionary properties = {}) {
        auto burn = platform::DRBurn::burnForDevice(recorder);
        burn->setProperties(std::move(properties));
        return burnAndWait(burn, layout, statuses);
    }
    // Ejects the written medium and waits for the fresh blank one.
    void ejectAndWait() {
        ASSERT_TRUE(recorder->ejectMedia());
        ASSERT_TRUE(runUntil([&] { return media().isDictionary(); }));
    }
    static std::optional<std::string> errorText(const platform::Dictionary& status) {
        return platform::lookup(status[platform::DRErrorStatusKey],
                                platform::DRErrorStatusErrorStringKey)
            .textValue();
    }
    static std::optional<std::string> state(const platform::Dictionary& status) {
        return status[platform::DRStatusStateKey].textValue();
    }
    platform::Value media() const { return recorder->status()[platform::DRDeviceMediaInfoKey]; }
};

}  // namespace kilnware::test
