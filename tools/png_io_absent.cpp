// The PNG layer of a build without libpng (the WebAssembly build, whose
// frames are told apart by their digests): every call says so. The tools
// refuse the options that would write or read a picture before they get
// here.
#include "tools/png_io.h"

namespace {

PngError no_png(const std::string& what) {
    return PngError("cannot " + what + ": this build reads and writes no PNG files");
}

}  // namespace

const bool png_files_available = false;

struct PngReader::State {};

void write_png_stream(std::FILE*, int, int, const std::uint32_t*) { throw no_png("write a PNG stream"); }

void write_png_rgb(const std::string& path, int, int, const std::uint32_t*) { throw no_png("write " + path); }

PngReader::PngReader(const std::string& path) { throw no_png("read " + path); }

PngReader::~PngReader() = default;

int PngReader::width() const { return 0; }
int PngReader::height() const { return 0; }
RgbImage PngReader::read() { throw no_png("read a PNG picture"); }

RgbImage read_png_rgb(const std::string& path) { throw no_png("read " + path); }
