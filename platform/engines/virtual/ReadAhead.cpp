#include "platform/engines/virtual/ReadAhead.h"

#include <algorithm>

namespace kilnware::platform::image {

namespace {
// Chunks in flight: one being written, the others being filled.
constexpr std::size_t kDepth = 4;
}  // namespace

ReadAhead::ReadAhead(std::unique_ptr<DRTrackReader> reader, std::size_t chunk,
                     std::uint64_t expected)
    : reader_(std::move(reader)), chunk_(chunk), expected_(expected), sizes_(kDepth, 0) {}

ReadAhead::~ReadAhead() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.waitForAll();
}

void ReadAhead::start() {
    if (!buffers_.empty()) {
        return;
    }
    for (std::size_t i = 0; i < kDepth; ++i) {
        buffers_.push_back(std::make_unique<std::byte[]>(chunk_));
    }
    thread_.start([this] { run(); });
}

void ReadAhead::run() {
    std::uint64_t done = 0;
    bool complete = true;
    while (done < expected_) {
        std::byte* buffer = nullptr;
        {
            std::unique_lock lock(mutex_);
            // A slot is free once every earlier chunk in it was written.
            changed_.wait(
                lock, [&] { return stop_ || produced_ - taken_ + (holding_ ? 1 : 0) < kDepth; });
            if (stop_) {
                complete = false;
                break;
            }
            buffer = buffers_[produced_ % kDepth].get();
        }
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk_, expected_ - done));
        std::size_t filled = 0;
        while (filled < want) {
            const std::size_t n = reader_->read(std::span(buffer + filled, want - filled));
            if (n == 0) {
                break;
            }
            filled += n;
        }
        if (filled > 0) {
            std::lock_guard lock(mutex_);
            sizes_[produced_ % kDepth] = filled;
            ++produced_;
        }
        changed_.notify_all();
        done += filled;
        if (filled < want) {
            break;
        }
    }
    bool longer = false;
    if (complete && done == expected_ && reader_->error().empty()) {
        std::byte extra[1];
        longer = reader_->read(extra) > 0;
    }
    {
        std::lock_guard lock(mutex_);
        longer_ = longer;
        done_ = true;
    }
    changed_.notify_all();
}

std::span<const std::byte> ReadAhead::next() {
    std::unique_lock lock(mutex_);
    holding_ = false;
    changed_.notify_all();
    changed_.wait(lock, [&] { return taken_ < produced_ || done_; });
    if (taken_ == produced_) {
        return {};
    }
    const std::size_t slot = taken_ % kDepth;
    ++taken_;
    holding_ = true;
    return {buffers_[slot].get(), sizes_[slot]};
}

bool ReadAhead::finished() {
    std::lock_guard lock(mutex_);
    return done_;
}

}  // namespace kilnware::platform::image
