// Fuzz target for the PNG reader, which reads any file a user names
// (ombrastel-snapshot --find): the input is the file. The reader must either
// refuse it with a PngError or give a picture of the size its header
// announced; and a picture it gives, written and read again, comes back the
// same. Anything else (a crash, a read past a buffer, a leak, another
// exception) stops the run.
//
// Running it: scripts/fuzz.sh fuzzes it with the rasterizing passes and the
// span kernels, as many at a time as there are processors, for the same time.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/png_io.h"

namespace {

// A picture larger than this is read for its header only, as --find reads a
// picture whose size is not the frame's: a fuzzer's made-up header may
// announce a picture of gigabytes.
constexpr long most_pixels_read = 1 << 20;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_png: %s\n", what);
    std::abort();
}

// The input as a file of the target's own, rewritten for every input.
const std::string& input_path() {
    static const std::string path = [] {
        char name[] = "/tmp/ombrastel-fuzz-png.XXXXXX";
        const int descriptor = mkstemp(name);
        if (descriptor < 0) fail("cannot make a scratch file");
        close(descriptor);
        return std::string(name);
    }();
    return path;
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) fail("cannot write the scratch file");
    if (size > 0 && std::fwrite(data, 1, size, file) != size) fail("cannot write the scratch file");
    std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = input_path();
    write_file(path, data, size);
    RgbImage image;
    try {
        PngReader reader(path);
        if (reader.width() < 1 || reader.height() < 1) fail("a header of no pixels was taken");
        if (static_cast<long>(reader.width()) * reader.height() > most_pixels_read) return 0;
        image = reader.read();
        if (image.width != reader.width() || image.height != reader.height())
            fail("the picture is not the size its header announced");
    } catch (const PngError&) {
        return 0;
    }
    if (image.pixels.size() != static_cast<std::size_t>(image.width) * image.height)
        fail("the picture's pixel count is not its size");
    for (std::uint32_t pixel : image.pixels)
        if (pixel > 0x00FFFFFFu) fail("a pixel has a fourth byte");

    // Written as the tools write frames and read again: the same pixels.
    const std::string copy_path = path + ".copy";
    std::FILE* copy = std::fopen(copy_path.c_str(), "wb");
    if (!copy) fail("cannot write the scratch copy");
    try {
        write_png_stream(copy, image.width, image.height, image.pixels.data());
    } catch (const PngError&) {
        fail("a picture read cannot be written");
    }
    std::fclose(copy);
    const RgbImage again = read_png_rgb(copy_path);
    if (again.width != image.width || again.height != image.height || again.pixels != image.pixels)
        fail("a picture written and read again is not the same");
    return 0;
}
