#include "scene/preparation.h"

namespace {

std::uint32_t palette_colour(unsigned index) {
    const std::uint8_t* entry = palette + 3 * index;
    return std::uint32_t{entry[2]} << 16 | std::uint32_t{entry[1]} << 8 | entry[0];
}

}  // namespace

// The packed picture is stored turned through 180 degrees, so reading its bytes
// from the last to the first, low nibble before high, lays the texels out
// upright in increasing index order.
void decode_texture() {
    for (int k = 0; k < packed_texture_bytes; ++k) {
        const std::uint8_t packed = packed_texture[packed_texture_bytes - 1 - k];
        texture[2 * k] = palette_colour(packed & 0x0Fu);
        texture[2 * k + 1] = palette_colour(packed >> 4);
    }
}
