// The frame digest of the WebAssembly build, whose programs run under node:
// SHA-256 from node's crypto module (OpenSSL is not among emscripten's
// libraries; node's crypto is OpenSSL's).
#include <emscripten.h>

#include <cstddef>
#include <vector>

#include "tools/frame_digest.h"

// Writes the 64 hexadecimal digits and a terminating zero to `hex`.
EM_JS(void, node_sha256, (const unsigned char* bytes, std::size_t count, char* hex), {
    const digest = require('crypto').createHash('sha256').update(HEAPU8.subarray(bytes, bytes + count)).digest('hex');
    stringToUTF8(digest, hex, 65);
});

std::string frame_digest(const std::uint32_t* pixels, int width, int height) {
    // The byte order is spelled out rather than taken from memory, as the
    // other builds' digest does.
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<unsigned char> bytes(count * 4);
    for (std::size_t i = 0; i < count; ++i)
        for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<unsigned char>(pixels[i] >> (8 * b));
    return sha256_digest(bytes.data(), bytes.size());
}

std::string sha256_digest(const unsigned char* bytes, std::size_t count) {
    char hex[65];
    node_sha256(bytes, count, hex);
    return hex;
}
