#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/WorkerThreads.h"

namespace kilnware::platform::media {

class DecoderPass;

// Decodes CD audio (44.1 kHz, 16-bit stereo) of independent frames, as FLAC's are, on two threads
// of its own. The stream is cut into chunks of a few seconds that the threads take in turns; each
// reads the whole file and skips the other's packets undecoded. The threads meet once a chunk,
// where FFmpeg's own frame threads meet every frame, which on two processors costs about as much
// as it brings. The frames come out in order, exactly as the file holds them; damage ends them
// where it lies, as it would end a decoding on one thread.
class ChunkedDecoding {
public:
    // More than any FLAC frame holds: a frame spans two chunks at most.
    static constexpr std::uint64_t kChunkFrames = std::uint64_t{1} << 17;

    // Starts decoding the first `total` frames of the `size` bytes of `fd`, which must stay open
    // while this lives.
    ChunkedDecoding(int fd, std::int64_t size, std::uint64_t total);
    ~ChunkedDecoding();
    ChunkedDecoding(const ChunkedDecoding&) = delete;
    ChunkedDecoding& operator=(const ChunkedDecoding&) = delete;

    // The next frames, `frames` at most, into `out` (4 bytes a frame); 0 at the end or on an
    // error.
    std::size_t read(std::byte* out, std::size_t frames);
    // Why the frames ended early; empty while they have not.
    const std::string& error() const { return error_; }
    // The frames read so far.
    std::uint64_t delivered() const { return delivered_; }

private:
    static constexpr std::size_t kThreads = 2;
    // Decoded chunks a thread may hold that nobody has read yet.
    static constexpr std::size_t kReadyChunks = 2;

    struct Chunk {
        std::vector<std::byte> bytes;  // all its frames, or those before the error
        std::string error;
    };

    // Where a thread is in the file, in frames (the stream's time base, which is 1/44100 s).
    struct Place {
        std::optional<std::int64_t> origin;  // the first packet's time stamp, less its place
        std::int64_t next = 0;               // where the next packet starts
    };

    void decode(std::size_t thread);
    Chunk decodeChunk(DecoderPass& pass, std::uint64_t start, std::uint64_t end, Place& place);
    // False when the decoding is being stopped.
    bool publish(std::size_t thread, Chunk chunk);

    const int fd_;
    const std::int64_t size_;
    const std::uint64_t total_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::array<std::deque<Chunk>, kThreads> ready_;
    std::atomic<bool> stopping_{false};

    // The reading side's own.
    Chunk current_;
    std::size_t offset_ = 0;
    std::uint64_t next_ = 0;
    std::string error_;
    std::uint64_t delivered_ = 0;

    WorkerThreads threads_;  // last: they use everything above
};

}  // namespace kilnware::platform::media
