#include "tools/png_io.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

// libpng reports errors by a long jump back to the setjmp of the caller. Each
// routine below that calls into libpng sets its own jump target first and
// keeps no object with a destructor between that point and the libpng calls,
// so a jump skips nothing that needs cleaning up.

namespace {

constexpr std::size_t message_room = 200;

void on_png_error(png_structp png, png_const_charp message) {
    auto* text = static_cast<char*>(png_get_error_ptr(png));
    std::snprintf(text, message_room, "%s", message);
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

bool write_stream(std::FILE* file, int width, int height, const std::uint32_t* pixels,
                  png_bytep row, char* message) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, message, on_png_error, on_png_warning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
        const std::uint32_t* source = pixels + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            row[3 * x + 0] = static_cast<png_byte>(source[x] >> 16);  // red
            row[3 * x + 1] = static_cast<png_byte>(source[x] >> 8);   // green
            row[3 * x + 2] = static_cast<png_byte>(source[x]);        // blue
        }
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Reads the header and sets the transforms to 8-bit RGB. False on a damaged
// header or one no frame could have.
bool read_header(png_structp png, png_infop info, std::FILE* file, png_uint_32* width,
                 png_uint_32* height, std::size_t* row_bytes, char* message) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);
    const int colour_type = png_get_color_type(png, info);
    const int bit_depth = png_get_bit_depth(png, info);
    if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    if (bit_depth == 16) png_set_strip_16(png);
    if (colour_type == PNG_COLOR_TYPE_GRAY || colour_type == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(png);
    if ((colour_type & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS))
        png_set_strip_alpha(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_channels(png, info) != 3 || png_get_bit_depth(png, info) != 8) {
        std::snprintf(message, message_room, "unsupported pixel format");
        return false;
    }
    *width = png_get_image_width(png, info);
    *height = png_get_image_height(png, info);
    *row_bytes = png_get_rowbytes(png, info);
    return true;
}

bool read_body(png_structp png, png_infop info, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    png_read_end(png, info);
    return true;
}

std::string temporary_name_beside(const std::string& path) {
    std::random_device entropy;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%08x%08x", entropy(), entropy());
    return path + suffix;
}

// Frames are at most 32766 pixels a side; the texture is 128.
constexpr png_uint_32 largest_side = 32766;

}  // namespace

void write_png_rgb(const std::string& path, int width, int height, const std::uint32_t* pixels) {
    if (width < 1 || height < 1 || static_cast<png_uint_32>(width) > largest_side ||
        static_cast<png_uint_32>(height) > largest_side)
        throw PngError("cannot write " + path + ": no picture of " + std::to_string(width) + "x" +
                       std::to_string(height) + " pixels");
    const std::string temporary = temporary_name_beside(path);
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) throw PngError("cannot write " + path + ": " + std::strerror(errno));

    std::vector<png_byte> row(static_cast<std::size_t>(width) * 3);
    char message[message_room] = "out of memory";
    bool written = write_stream(file, width, height, pixels, row.data(), message);
    if (std::fclose(file) != 0 && written) {
        written = false;
        std::snprintf(message, sizeof message, "%s", std::strerror(errno));
    }
    std::error_code error;
    if (written) {
        std::filesystem::rename(temporary, path, error);
        if (error) {
            written = false;
            std::snprintf(message, sizeof message, "%s", error.message().c_str());
        }
    }
    if (!written) {
        std::filesystem::remove(temporary, error);
        throw PngError("cannot write " + path + ": " + message);
    }
}

RgbImage read_png_rgb(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) throw PngError("cannot read " + path + ": " + std::strerror(errno));
    png_byte signature[8] = {};
    if (std::fread(signature, 1, sizeof signature, file) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
        std::fclose(file);
        throw PngError("cannot read " + path + ": not a PNG file");
    }
    char message[message_room] = "out of memory";
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, message, on_png_error, on_png_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    auto fail = [&](const std::string& why) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        return PngError("cannot read " + path + ": " + why);
    };
    if (!info) throw fail(message);
    png_set_user_limits(png, largest_side, largest_side);

    png_uint_32 width = 0, height = 0;
    std::size_t row_bytes = 0;
    if (!read_header(png, info, file, &width, &height, &row_bytes, message)) throw fail(message);

    std::vector<png_byte> data(row_bytes * height);
    std::vector<png_bytep> rows(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = data.data() + y * row_bytes;
    if (!read_body(png, info, rows.data())) throw fail(message);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);

    RgbImage image;
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.pixels.resize(static_cast<std::size_t>(width) * height);
    for (png_uint_32 y = 0; y < height; ++y)
        for (png_uint_32 x = 0; x < width; ++x) {
            const png_byte* rgb = rows[y] + 3 * x;
            image.pixels[static_cast<std::size_t>(y) * width + x] =
                (std::uint32_t{rgb[0]} << 16) | (std::uint32_t{rgb[1]} << 8) | rgb[2];
        }
    return image;
}
