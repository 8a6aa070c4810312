// Draws the texture picture, packs it and prints it as the C++ source of the
// packed_texture data item (scene/packed_texture.cpp).
#include <cstdio>

#include "tools/texture_art.h"

int main() {
    std::uint8_t indices[art_size * art_size];
    std::uint8_t packed[art_size * art_size / 2];
    draw_texture_picture(indices);
    pack_texture_picture(indices, packed);

    std::printf(
        "// Made by tools/make_texture: the texture picture at 4 bits per texel,\n"
        "// stored turned through 180 degrees.\n"
        "#include \"scene/scene_data.h\"\n\n"
        "// Sixteen bytes a row, as printed.\n"
        "// clang-format off\n"
        "const std::uint8_t packed_texture[packed_texture_bytes] = {\n");
    for (int i = 0; i < art_size * art_size / 2; ++i)
        std::printf("%s0x%02X,%s", i % 16 == 0 ? "    " : "", packed[i], i % 16 == 15 ? "\n" : " ");
    std::printf("};\n// clang-format on\n");
    return 0;
}
