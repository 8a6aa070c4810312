// The system's texture picture: a 128 x 128 grey-toned picture in the 16
// palette colours, framed by the triangle every face maps onto (apex at the
// middle of the top row, base along the bottom row).
#pragma once

#include <cstdint>

inline constexpr int art_size = 128;

// The upright picture as palette indices, row 0 at the top.
void draw_texture_picture(std::uint8_t indices[art_size * art_size]);

// Packs an upright picture at 4 bits per texel the way the decoder reads it:
// turned through 180 degrees, rows of 64 bytes from the top, the left texel of
// each pair in the high nibble.
void pack_texture_picture(const std::uint8_t indices[art_size * art_size],
                          std::uint8_t packed[art_size * art_size / 2]);
