#include "tools/frame_digest.h"

#include <openssl/evp.h>
#include <memory>
#include <stdexcept>
#include <vector>

std::string frame_digest(const std::uint32_t* pixels, int width, int height) {
    // The byte order is spelled out rather than taken from memory, so that
    // the digest is the same on a processor of either byte order.
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<unsigned char> bytes(count * 4);
    for (std::size_t i = 0; i < count; ++i)
        for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<unsigned char>(pixels[i] >> (8 * b));
    return sha256_digest(bytes.data(), bytes.size());
}

std::string sha256_digest(const unsigned char* bytes, std::size_t count) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(bytes, count, digest, &length, EVP_sha256(), nullptr))
        throw std::runtime_error("the SHA-256 digest could not be computed");
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0xF];
    }
    return text;
}
