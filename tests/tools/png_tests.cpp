// PNG files: a frame's red, green and blue bytes survive a write and a read
// exactly, other readers see plain 8-bit RGB, and a failed write leaves no
// file behind.
#include <gtest/gtest.h>
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/tools/tool_test_support.h"
#include "tools/output_file.h"
#include "tools/png_io.h"

namespace {

using tool_test::ScratchDirectory;

// Every value of every channel, each channel running at its own rate so that
// a swap of two channels shows; the fourth byte is noise the file must drop.
std::vector<std::uint32_t> all_byte_values(int width, int height) {
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const auto red = static_cast<std::uint32_t>(i % 256);
        const auto green = static_cast<std::uint32_t>((i * 7 + 3) % 256);
        const auto blue = static_cast<std::uint32_t>((255 - i % 256 + i / 256) % 256);
        pixels[i] = (static_cast<std::uint32_t>(i * 13) << 24) | (red << 16) | (green << 8) | blue;
    }
    return pixels;
}

std::vector<std::uint32_t> without_fourth_byte(std::vector<std::uint32_t> pixels) {
    for (std::uint32_t& p : pixels) p &= 0x00FFFFFFu;
    return pixels;
}

// What a plain libpng reader, with no transforms, finds in a file.
struct RawPng {
    png_uint_32 width = 0, height = 0;
    int bit_depth = 0, colour_type = 0;
    bool has_colour_chunk = false;  // gAMA, sRGB, cHRM or iCCP
    std::vector<std::uint8_t> bytes;
};

RawPng read_raw(const std::string& path) {
    RawPng raw;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        ADD_FAILURE() << "cannot open " << path;
        return raw;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        ADD_FAILURE() << "libpng rejected " << path;
    } else {
        png_init_io(png, file);
        png_read_info(png, info);
        raw.width = png_get_image_width(png, info);
        raw.height = png_get_image_height(png, info);
        raw.bit_depth = png_get_bit_depth(png, info);
        raw.colour_type = png_get_color_type(png, info);
        raw.bytes.resize(png_get_rowbytes(png, info) * raw.height);
        rows.resize(raw.height);
        for (png_uint_32 y = 0; y < raw.height; ++y) rows[y] = raw.bytes.data() + y * png_get_rowbytes(png, info);
        png_read_image(png, rows.data());
        png_read_end(png, info);
        raw.has_colour_chunk =
            png_get_valid(png, info, PNG_INFO_gAMA | PNG_INFO_sRGB | PNG_INFO_cHRM | PNG_INFO_iCCP) != 0;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return raw;
}

// A file another program might hand to --find: RGBA or grey, 8 or 16 bits.
void write_with_libpng(const std::string& path, int width, int height, int colour_type, int bit_depth,
                       const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    const std::size_t row_bytes = bytes.size() / height;
    std::vector<png_bytep> rows(height);
    for (int y = 0; y < height; ++y) rows[y] = const_cast<png_bytep>(bytes.data() + y * row_bytes);
    if (!setjmp(png_jmpbuf(png))) {
        png_init_io(png, file);
        png_set_IHDR(png, info, width, height, bit_depth, colour_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        png_set_gAMA(png, info, 1.0);  // must not change the bytes read back
        png_write_info(png, info);
        png_write_image(png, rows.data());
        png_write_end(png, nullptr);
    } else {
        ADD_FAILURE() << "libpng could not write " << path;
    }
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

TEST(PngRoundTrip, KeepsEveryRedGreenAndBlueByteAndDropsTheFourth) {
    ScratchDirectory scratch;
    const int width = 300, height = 7;
    const std::vector<std::uint32_t> pixels = all_byte_values(width, height);
    write_png_rgb(scratch.file("bytes.png"), width, height, pixels.data());

    const RgbImage image = read_png_rgb(scratch.file("bytes.png"));
    EXPECT_EQ(image.width, width);
    EXPECT_EQ(image.height, height);
    EXPECT_EQ(image.pixels, without_fourth_byte(pixels));
}

TEST(PngRoundTrip, KeepsRenderedFramesExactly) {
    ScratchDirectory scratch;
    tool_test::render_frames(160, 120, 600, [&](std::uint32_t frame) {
        if (frame % 150 != 0) return;
        const std::string path = scratch.file("frame" + std::to_string(frame) + ".png");
        write_png_rgb(path, frame_width, frame_height, frame_buffer);
        const RgbImage image = read_png_rgb(path);
        ASSERT_EQ(image.width, frame_width);
        ASSERT_EQ(image.height, frame_height);
        EXPECT_EQ(image.pixels, tool_test::frame_colours()) << "frame " << frame;
    });
}

TEST(PngFileFormat, IsPlainEightBitRgbInRedGreenBlueOrder) {
    ScratchDirectory scratch;
    const int width = 256, height = 3;
    const std::vector<std::uint32_t> pixels = all_byte_values(width, height);
    write_png_rgb(scratch.file("plain.png"), width, height, pixels.data());

    const RawPng raw = read_raw(scratch.file("plain.png"));
    EXPECT_EQ(raw.width, static_cast<png_uint_32>(width));
    EXPECT_EQ(raw.height, static_cast<png_uint_32>(height));
    EXPECT_EQ(raw.bit_depth, 8);
    EXPECT_EQ(raw.colour_type, PNG_COLOR_TYPE_RGB);
    EXPECT_FALSE(raw.has_colour_chunk);
    ASSERT_EQ(raw.bytes.size(), pixels.size() * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        ASSERT_EQ(raw.bytes[3 * i + 0], (pixels[i] >> 16) & 0xFF) << "red of pixel " << i;
        ASSERT_EQ(raw.bytes[3 * i + 1], (pixels[i] >> 8) & 0xFF) << "green of pixel " << i;
        ASSERT_EQ(raw.bytes[3 * i + 2], pixels[i] & 0xFF) << "blue of pixel " << i;
    }
}

TEST(PngReading, TakesOtherLayoutsAsTheirRedGreenBlueBytes) {
    ScratchDirectory scratch;
    const int width = 4, height = 2;
    std::vector<std::uint32_t> expected(width * height);
    std::vector<std::uint8_t> rgba, grey16;
    for (int i = 0; i < width * height; ++i) {
        const std::uint8_t r = static_cast<std::uint8_t>(30 * i), g = static_cast<std::uint8_t>(255 - 9 * i),
                           b = static_cast<std::uint8_t>(i * i);
        rgba.insert(rgba.end(), {r, g, b, static_cast<std::uint8_t>(i * 31)});
        grey16.insert(grey16.end(), {g, static_cast<std::uint8_t>(i)});
        expected[i] = (std::uint32_t{r} << 16) | (std::uint32_t{g} << 8) | b;
    }
    write_with_libpng(scratch.file("rgba.png"), width, height, PNG_COLOR_TYPE_RGB_ALPHA, 8, rgba);
    EXPECT_EQ(read_png_rgb(scratch.file("rgba.png")).pixels, expected);

    write_with_libpng(scratch.file("grey16.png"), width, height, PNG_COLOR_TYPE_GRAY, 16, grey16);
    const RgbImage grey = read_png_rgb(scratch.file("grey16.png"));
    for (int i = 0; i < width * height; ++i) {
        const std::uint32_t g = (expected[i] >> 8) & 0xFF;
        EXPECT_EQ(grey.pixels[i], (g << 16) | (g << 8) | g) << "pixel " << i;
    }
}

TEST(PngFailures, LeaveNoFileBehind) {
    ScratchDirectory scratch;
    const std::vector<std::uint32_t> pixels = all_byte_values(16, 16);
    EXPECT_THROW(write_png_rgb(scratch.file("missing/f.png"), 16, 16, pixels.data()), OutputError);
    EXPECT_THROW(write_png_rgb("/proc/ombrastel-test.png", 16, 16, pixels.data()), OutputError);
    // A directory in the way of the name is refused before anything is written.
    std::filesystem::create_directory(scratch.path() / "taken.png");
    std::filesystem::create_directory(scratch.path() / "taken.png" / "inside");
    EXPECT_THROW(write_png_rgb(scratch.file("taken.png"), 16, 16, pixels.data()), OutputError);
    // No picture of that size: the temporary file made for it goes again.
    EXPECT_THROW(write_png_rgb(scratch.file("empty.png"), 0, 16, pixels.data()), OutputError);
    EXPECT_EQ(scratch.entries(), (std::set<std::string>{"taken.png", "taken.png/inside"}));
}

TEST(PngReading, TellsTheSizeFromTheHeaderAlone) {
    ScratchDirectory scratch;
    tool_test::write_cut_picture(scratch.file("huge.png"), 32766, 32766);
    PngReader reader(scratch.file("huge.png"));
    EXPECT_EQ(reader.width(), 32766);
    EXPECT_EQ(reader.height(), 32766);
}

struct BadInput {
    const char* what;
    std::function<void(const ScratchDirectory&)> make;  // makes "input.png"
    const char* mentions;
};

TEST(PngFailures, NameTheCauseOfAPictureThatCannotBeRead) {
    const std::vector<std::uint32_t> pixels = all_byte_values(64, 64);
    auto whole_then_cut = [&](std::uintmax_t keep) {
        return [&pixels, keep](const ScratchDirectory& d) {
            write_png_rgb(d.file("whole.png"), 64, 64, pixels.data());
            std::filesystem::copy_file(d.file("whole.png"), d.file("input.png"));
            std::filesystem::resize_file(d.file("input.png"),
                                         keep ? keep : std::filesystem::file_size(d.file("whole.png")) / 2);
        };
    };
    auto text = [](const char* content) {
        return [content](const ScratchDirectory& d) { std::ofstream(d.file("input.png")) << content; };
    };
    const std::vector<BadInput> cases = {
        {"a missing file", [](const ScratchDirectory&) {}, std::strerror(ENOENT)},
        {"a directory", [](const ScratchDirectory& d) { std::filesystem::create_directory(d.file("input.png")); },
         "it is a directory"},
        {"an empty file", text(""), "the file is empty"},
        {"a text file", text("not a picture\n"), "not a PNG file"},
        {"a signature alone", whole_then_cut(8), "truncated"},
        {"a header cut short", whole_then_cut(20), "truncated"},
        {"pixels cut short", whole_then_cut(0), "truncated"},
    };
    for (const BadInput& c : cases) {
        ScratchDirectory scratch;
        c.make(scratch);
        try {
            read_png_rgb(scratch.file("input.png"));
            ADD_FAILURE() << c.what << ": read";
        } catch (const PngError& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind("cannot read " + scratch.file("input.png") + ": ", 0), 0u)
                << c.what << ": " << message;
            EXPECT_NE(message.find(c.mentions), std::string::npos) << c.what << ": " << message;
        }
    }
}

}  // namespace
