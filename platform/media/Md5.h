#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

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
    struct Free {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> context_;
};

}  // namespace kilnware::platform::media
