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

struct AVFrame;

namespace kilnware::platform::media {

class DecoderPass;

// Decodes stereo audio at 44.1 kHz on two threads of its own. The stream is cut into chunks of
// six seconds that the threads take in turns; each reads the whole file, skipping the other's
// packets undecoded. The threads meet once a chunk, where FFmpeg's own frame threads (for the
// codecs that have them) meet every frame, which on two processors costs about as much as it
// brings. The frames come out in order, exactly as one pass would decode them; damage ends them
// where it lies, as it would end one pass.
class ChunkedDecoding {
public:
    // More than any frame holds: a frame spans two chunks at most.
    static constexpr std::uint64_t kChunkFrames = std::uint64_t{1} << 18;

    // What the decoding needs to know of the codec.
    struct Codec {
        // Samples before a chunk that are decoded and dropped, so that a decoder with a memory of
        // what came before (MP3's bit reservoir and overlapping transforms) starts the chunk as
        // one pass would have; 0 where each frame decodes on its own (FLAC).
        std::int64_t warmUp = 0;
        // The decoded frames' sample format; any other is an error.
        int format = -1;
        // Writes frames [first, first + count) of a decoded frame to `out` as CD audio.
        void (*write)(const AVFrame& frame, std::size_t first, std::size_t count,
                      std::byte* out) = nullptr;
    };

    // Starts decoding the first `total` frames of the `size` bytes of `fd`, which must stay open
    // while this lives.
    ChunkedDecoding(int fd, std::int64_t size, std::uint64_t total, Codec codec);
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
    // Where a thread is in the file, in samples as the decoder gives them (the encoder's delay
    // included).
    struct Place {
        std::optional<std::int64_t> origin;  // the first packet's time stamp, less its place
        std::int64_t next = 0;               // where the next packet starts
        std::int64_t delay = 0;              // samples before the stream's first frame
    };

    void decode(std::size_t thread);
    Chunk decodeChunk(DecoderPass& pass, std::uint64_t start, std::uint64_t end, Place& place);
    // False when the decoding is being stopped.
    bool publish(std::size_t thread, Chunk chunk);

    const int fd_;
    const std::int64_t size_;
    const std::uint64_t total_;
    const Codec codec_;

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
