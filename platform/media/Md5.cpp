#include "platform/media/Md5.h"

#include <openssl/evp.h>

#include <new>

namespace kilnware::platform::media {

void Md5::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Md5::Md5() : context_(EVP_MD_CTX_new()) {
    reset();
}

Md5::~Md5() = default;
Md5::Md5(Md5&&) noexcept = default;
Md5& Md5::operator=(Md5&&) noexcept = default;

// OpenSSL fails these only where it cannot allocate.
void Md5::reset() {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_md5(), nullptr) != 1) {
        throw std::bad_alloc();
    }
}

void Md5::add(const void* bytes, std::size_t count) {
    if (count > 0 && EVP_DigestUpdate(context_.get(), bytes, count) != 1) {
        throw std::bad_alloc();
    }
}

Md5::Digest Md5::sum() const {
    std::unique_ptr<EVP_MD_CTX, Free> copy(EVP_MD_CTX_new());
    Digest digest{};
    unsigned int length = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), context_.get()) != 1 ||
        EVP_DigestFinal_ex(copy.get(), digest.data(), &length) != 1 || length != digest.size()) {
        throw std::bad_alloc();
    }
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
