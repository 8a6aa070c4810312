// The SHA-256 digest of a frame, the fingerprint the golden frames in
// tests/golden/ are kept as: over the frame's pixels row by row from the top,
// each pixel's four bytes in the order blue, green, red, fourth byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// 64 lower-case hexadecimal digits.
std::string frame_digest(const std::uint32_t* pixels, int width, int height);

// The SHA-256 digest of `count` bytes, as 64 lower-case hexadecimal digits.
std::string sha256_digest(const unsigned char* bytes, std::size_t count);
