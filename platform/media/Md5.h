#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

struct MD5state_st;  // OpenSSL's MD5_CTX

namespace kilnware::platform::media {

// An MD5 sum of bytes as they come. OpenSSL's, which takes half the time of libisofs' own: the
// checksums of a data image are most of the work of writing it.
class Md5 {
public:
    using Digest = std::array<unsigned char, 16>;

    Md5();
    ~Md5();
    Md5(Md5&&) noexcept;
    Md5& operator=(Md5&&) noexcept;

    void add(const void* bytes, std::size_t count);
    // The sum of the bytes so far; more may be added after.
    Digest sum() const;
    // Starts anew.
    void reset();

    static Digest of(const void* bytes, std::size_t count);
    // 32 lower-case hexadecimal digits.
    static std::string hex(const Digest& digest);

private:
    std::unique_ptr<MD5state_st> state_;
};

}  // namespace kilnware::platform::media
