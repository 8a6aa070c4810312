// PNG files of frames and of the texture. A picture travels as 32-bit pixels
// 0x00RRGGBB, rows from the top down, the layout of frame_buffer and texture;
// on disk it is 8-bit RGB holding exactly those red, green and blue bytes, with
// no gamma or colour-space chunk that would tell a viewer to change them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class PngError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, rows from the top down
};

// Writes width x height pixels (the fourth byte is ignored). The file appears
// under its name only when complete: it is written under a temporary name in
// the same directory and then renamed. Throws PngError, leaving nothing
// behind, when it cannot be written.
void write_png_rgb(const std::string& path, int width, int height, const std::uint32_t* pixels);

// Reads any PNG as 8-bit RGB: palette and grey images are expanded, 16-bit
// samples reduced to their high byte, alpha dropped. Gamma and colour-space
// chunks are ignored, so the bytes come back as stored. Throws PngError.
RgbImage read_png_rgb(const std::string& path);
