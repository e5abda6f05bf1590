#include "platform/media/ChunkedDecoding.h"

#include <algorithm>
#include <cstring>

#include "platform/media/DecoderPass.h"

namespace kilnware::platform::media {

namespace {

constexpr std::size_t kBytesPerFrame = 4;
constexpr int kRate = 44100;

}  // namespace

ChunkedDecoding::ChunkedDecoding(int fd, std::int64_t size, std::uint64_t total, Codec codec)
    : fd_(fd), size_(size), total_(total), codec_(codec) {
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads_.start([this, t] { decode(t); });
    }
}

ChunkedDecoding::~ChunkedDecoding() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    threads_.waitForAll();
}

std::size_t ChunkedDecoding::read(std::byte* out, std::size_t frames) {
    if (!error_.empty()) {
        return 0;
    }
    if (offset_ == current_.bytes.size()) {
        if (!current_.error.empty()) {
            error_ = current_.error;
            return 0;
        }
        if (next_ * kChunkFrames >= total_) {
            return 0;
        }
        {
            std::unique_lock lock(mutex_);
            auto& ready = ready_[next_ % kThreads];
            changed_.wait(lock, [&] { return !ready.empty(); });
            current_ = std::move(ready.front());
            ready.pop_front();
        }
        changed_.notify_all();
        offset_ = 0;
        ++next_;
        if (current_.bytes.empty()) {
            error_ = current_.error;
            return 0;
        }
    }
    const std::size_t n = std::min(frames * kBytesPerFrame, current_.bytes.size() - offset_);
    std::memcpy(out, current_.bytes.data() + offset_, n);
    offset_ += n;
    delivered_ += n / kBytesPerFrame;
    return n / kBytesPerFrame;
}

void ChunkedDecoding::decode(std::size_t thread) {
    auto pass = DecoderPass::open(fd_, size_, DecoderPass::Mode::Chunks);
    Place place;
    for (std::uint64_t chunk = thread; chunk * kChunkFrames < total_; chunk += kThreads) {
        const std::uint64_t start = chunk * kChunkFrames;
        Chunk decoded =
            pass ? decodeChunk(*pass, start, std::min(start + kChunkFrames, total_), place)
                 : Chunk{{}, "the file can no longer be read"};
        const bool failed = !decoded.error.empty();
        if (!publish(thread, std::move(decoded)) || failed) {
            return;
        }
    }
}

ChunkedDecoding::Chunk ChunkedDecoding::decodeChunk(DecoderPass& pass, std::uint64_t start,
                                                    std::uint64_t end, Place& place) {
    Chunk chunk;
    chunk.bytes.resize((end - start) * kBytesPerFrame);
    std::uint64_t filled = 0;  // frames from `start`
    auto fail = [&](std::string reason) {
        chunk.bytes.resize(filled * kBytesPerFrame);
        chunk.error = std::move(reason);
        return std::move(chunk);
    };
    const AVRational base = pass.stream()->time_base;
    const AVRational samples{1, kRate};
    while (start + filled < end) {
        if (stopping_) {
            return fail("stopped");
        }
        if (const int result = pass.readPacket(); result < 0) {
            return fail(result == AVERROR_EOF ? "the file ends before its announced length"
                                              : reasonFor(result));
        }
        const AVPacket& packet = *pass.packet();
        const std::int64_t at = place.next;
        if (at == 0) {
            place.delay = pass.skippedBefore();
        }
        const std::int64_t duration = ff().av_rescale_q(packet.duration, base, samples);
        // Each packet must start where the last ended: a gap is data the demuxer dropped.
        if (packet.pts != AV_NOPTS_VALUE) {
            const std::int64_t pts = ff().av_rescale_q(packet.pts, base, samples);
            place.origin = place.origin.value_or(pts - at);
            if (pts - *place.origin != at) {
                pass.drop();
                return fail("part of the file is missing");
            }
        }
        if (duration <= 0) {
            pass.drop();
            return fail("part of the file is missing");
        }
        place.next += duration;
        // The next frame the chunk wants, where the decoder gives it.
        const auto wanted = [&] { return static_cast<std::int64_t>(start + filled) + place.delay; };
        const bool warmingUp = at + duration <= wanted();
        if (at + duration <= wanted() - (filled == 0 ? codec_.warmUp : 0)) {
            pass.drop();  // the other thread's
            continue;
        }
        int result = pass.send();
        std::int64_t frameAt = at;
        while (result >= 0 && (result = pass.receive()) > 0) {
            const AVFrame& frame = *pass.frame();
            if (frame.format != codec_.format || frame.ch_layout.nb_channels != 2 ||
                frame.sample_rate != kRate) {
                return fail("its channels or sample rate change midway");
            }
            const std::int64_t from = std::max(frameAt, wanted());
            const std::int64_t to =
                std::min(frameAt + frame.nb_samples, static_cast<std::int64_t>(end) + place.delay);
            if (from < to) {
                if (from != wanted()) {
                    return fail("part of the file is missing");
                }
                codec_.write(frame, static_cast<std::size_t>(from - frameAt),
                             static_cast<std::size_t>(to - from),
                             chunk.bytes.data() + filled * kBytesPerFrame);
                filled += static_cast<std::uint64_t>(to - from);
            }
            frameAt += frame.nb_samples;
        }
        // A decoder that starts midway may stumble before the chunk: the other thread decodes
        // those frames in earnest.
        if (warmingUp) {
            continue;
        }
        if (result < 0) {
            return fail(reasonFor(result));
        }
        // The frames must be what the packet said it holds, or the threads' places part.
        if (frameAt != at + duration) {
            return fail("invalid data");
        }
    }
    return chunk;
}

bool ChunkedDecoding::publish(std::size_t thread, Chunk chunk) {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || ready_[thread].size() < kReadyChunks; });
        if (stopping_) {
            return false;
        }
        ready_[thread].push_back(std::move(chunk));
    }
    changed_.notify_all();
    return true;
}

}  // namespace kilnware::platform::media
