#include "tools/png_io.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "tools/output_file.h"

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

// libpng's own stream functions answer every failed read or write with "Read
// Error" or "Write Error"; these say what happened.
void write_to_file(png_structp png, png_bytep data, std::size_t length) {
    auto* file = static_cast<std::FILE*>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, length, file) == length) return;
    char why[message_room];
    std::snprintf(why, sizeof why, "%s", std::strerror(errno));
    png_error(png, why);
}

void flush_file(png_structp png) {
    auto* file = static_cast<std::FILE*>(png_get_io_ptr(png));
    if (std::fflush(file) == 0) return;
    char why[message_room];
    std::snprintf(why, sizeof why, "%s", std::strerror(errno));
    png_error(png, why);
}

void read_from_file(png_structp png, png_bytep data, std::size_t length) {
    auto* file = static_cast<std::FILE*>(png_get_io_ptr(png));
    if (std::fread(data, 1, length, file) == length) return;
    char why[message_room];
    if (std::ferror(file))
        std::snprintf(why, sizeof why, "%s", std::strerror(errno));
    else
        std::snprintf(why, sizeof why, "the file is truncated: it ends before the picture does");
    png_error(png, why);
}

bool write_stream(std::FILE* file, int width, int height, const std::uint32_t* pixels, png_bytep row, char* message) {
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
    png_set_write_fn(png, file, write_to_file, flush_file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
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
bool read_header(png_structp png, png_infop info, std::FILE* file, png_uint_32* width, png_uint_32* height,
                 std::size_t* row_bytes, char* message) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, file, read_from_file);
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);
    const int colour_type = png_get_color_type(png, info);
    const int bit_depth = png_get_bit_depth(png, info);
    if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    if (bit_depth == 16) png_set_strip_16(png);
    if (colour_type == PNG_COLOR_TYPE_GRAY || colour_type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if ((colour_type & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS)) png_set_strip_alpha(png);
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

// Frames are at most 32766 pixels a side; the texture is 128.
constexpr png_uint_32 largest_side = 32766;

}  // namespace

const bool png_files_available = true;

void write_png_stream(std::FILE* file, int width, int height, const std::uint32_t* pixels) {
    if (width < 1 || height < 1 || static_cast<png_uint_32>(width) > largest_side ||
        static_cast<png_uint_32>(height) > largest_side)
        throw PngError("no picture of " + std::to_string(width) + "x" + std::to_string(height) + " pixels");
    std::vector<png_byte> row(static_cast<std::size_t>(width) * 3);
    char message[message_room] = "out of memory";
    if (!write_stream(file, width, height, pixels, row.data(), message)) throw PngError(message);
}

void write_png_rgb(const std::string& path, int width, int height, const std::uint32_t* pixels) {
    write_output(path, [&](std::FILE* file) { write_png_stream(file, width, height, pixels); });
}

struct PngReader::State {
    std::string path;
    std::FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_uint_32 width = 0, height = 0;
    std::size_t row_bytes = 0;
    char message[message_room] = "out of memory";

    PngError failure(const std::string& why) const { return PngError("cannot read " + path + ": " + why); }
    ~State() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        if (file) std::fclose(file);
    }
};

PngReader::PngReader(const std::string& path) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.path = path;
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) throw s.failure("it is a directory");
    s.file = std::fopen(path.c_str(), "rb");
    if (!s.file) throw s.failure(std::strerror(errno));
    png_byte signature[8] = {};
    const std::size_t got = std::fread(signature, 1, sizeof signature, s.file);
    if (std::ferror(s.file)) throw s.failure(std::strerror(errno));
    if (got == 0) throw s.failure("the file is empty");
    if (got != sizeof signature || png_sig_cmp(signature, 0, sizeof signature) != 0) throw s.failure("not a PNG file");
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, s.message, on_png_error, on_png_warning);
    s.info = s.png ? png_create_info_struct(s.png) : nullptr;
    if (!s.info) throw s.failure(s.message);
    png_set_user_limits(s.png, largest_side, largest_side);
    if (!read_header(s.png, s.info, s.file, &s.width, &s.height, &s.row_bytes, s.message)) throw s.failure(s.message);
}

PngReader::~PngReader() = default;

int PngReader::width() const { return static_cast<int>(state_->width); }
int PngReader::height() const { return static_cast<int>(state_->height); }

RgbImage PngReader::read() {
    State& s = *state_;
    std::vector<png_byte> data(s.row_bytes * s.height);
    std::vector<png_bytep> rows(s.height);
    for (png_uint_32 y = 0; y < s.height; ++y) rows[y] = data.data() + y * s.row_bytes;
    if (!read_body(s.png, s.info, rows.data())) throw s.failure(s.message);

    RgbImage image;
    image.width = static_cast<int>(s.width);
    image.height = static_cast<int>(s.height);
    image.pixels.resize(static_cast<std::size_t>(s.width) * s.height);
    for (png_uint_32 y = 0; y < s.height; ++y)
        for (png_uint_32 x = 0; x < s.width; ++x) {
            const png_byte* rgb = rows[y] + 3 * x;
            image.pixels[static_cast<std::size_t>(y) * s.width + x] =
                (std::uint32_t{rgb[0]} << 16) | (std::uint32_t{rgb[1]} << 8) | rgb[2];
        }
    return image;
}

RgbImage read_png_rgb(const std::string& path) { return PngReader(path).read(); }
