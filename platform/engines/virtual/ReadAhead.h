#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <kilnware/platform/discrecording/DRTrack.h>

#include "platform/foundation/WorkerThreads.h"

namespace kilnware::platform::image {

// Reads a track on a thread of its own, a few chunks ahead of the writer, so that decoding
// overlaps writing. It reads as the writer would by itself: chunks of `chunk` bytes up to
// `expected` bytes, a short chunk ending the track, and one byte more to tell a track longer
// than it announced. Memory stays at a few chunks whatever the track's length.
class ReadAhead {
public:
    ReadAhead(std::unique_ptr<DRTrackReader> reader, std::size_t chunk, std::uint64_t expected);
    // Stops the reading thread at its next chunk.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Starts the thread; the reader is not to be used here after that.
    void start();
    DRTrackReader& reader() { return *reader_; }

    // The next chunk, waiting for it; valid until the next call. Empty once the track is read.
    std::span<const std::byte> next();
    // Whether every chunk is read and only waits to be taken.
    bool finished();
    // Once next() came back empty: the reader's error, and whether the track held more bytes.
    const std::string& error() const { return reader_->error(); }
    bool longer() const { return longer_; }

private:
    void run();

    std::unique_ptr<DRTrackReader> reader_;
    std::size_t chunk_;
    std::uint64_t expected_;
    std::vector<std::unique_ptr<std::byte[]>> buffers_;
    std::vector<std::size_t> sizes_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t produced_ = 0;  // chunks read
    std::uint64_t taken_ = 0;     // chunks handed out; the last one may still be in use
    bool holding_ = false;
    bool done_ = false;
    bool stop_ = false;
    bool longer_ = false;
    WorkerThreads thread_;  // last: it uses everything above
};

}  // namespace kilnware::platform::image
