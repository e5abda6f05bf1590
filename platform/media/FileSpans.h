#pragma once

#include <cstdint>
#include <optional>

namespace kilnware::platform::media {

// A track reader whose stream holds, between the bytes it makes, runs that lie as they are in a
// file or are all zeros: an engine writing into a file may copy such a run in the kernel, or skip
// the zeros, instead of reading the bytes through a buffer. Reading and passing over spans mix
// freely.
class FileSpans {
public:
    struct Span {
        // Bytes the engine reads (through read()) rather than copies: small pieces, which are
        // cheaper read into its buffer together than copied one by one.
        static constexpr int kRead = -2;
        int fd = -1;  // the open file the bytes lie in; -1 for zeros, kRead
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };
    // The run that the stream's next bytes belong to, from where the stream stands; none when they
    // must be read, as far as the engine likes (or the stream failed: see the reader's error()).
    virtual std::optional<Span> nextSpan() = 0;
    // Passes over the first `count` bytes of that span, which the caller has taken; false when the
    // stream failed by then (a file that changed meanwhile, say).
    virtual bool pass(std::uint64_t count) = 0;

protected:
    ~FileSpans() = default;
};

}  // namespace kilnware::platform::media
