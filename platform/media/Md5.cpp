#include "platform/media/Md5.h"

// OpenSSL's own MD5 functions, which its digest interface wraps: that interface keeps an error
// state for each thread that uses it, which a thread still ending as the process exits leaves
// behind. These keep nothing but the sum.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

namespace kilnware::platform::media {

Md5::Md5() : state_(std::make_unique<MD5_CTX>()) {
    reset();
}

Md5::~Md5() = default;
Md5::Md5(Md5&&) noexcept = default;
Md5& Md5::operator=(Md5&&) noexcept = default;

void Md5::reset() {
    MD5_Init(state_.get());
}

void Md5::add(const void* bytes, std::size_t count) {
    MD5_Update(state_.get(), bytes, count);
}

Md5::Digest Md5::sum() const {
    MD5_CTX copy = *state_;
    Digest digest{};
    MD5_Final(digest.data(), &copy);
    return digest;
}

Md5::Digest Md5::of(const void* bytes, std::size_t count) {
    Md5 md5;
    md5.add(bytes, count);
    return md5.sum();
}

std::string Md5::hex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

}  // namespace kilnware::platform::media
