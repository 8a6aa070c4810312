// PNG files of frames and of the texture. A picture travels as 32-bit pixels
// 0x00RRGGBB, rows from the top down, the layout of frame_buffer and texture;
// on disk it is 8-bit RGB holding exactly those red, green and blue bytes, with
// no gamma or colour-space chunk that would tell a viewer to change them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Whether this build reads and writes PNG files: not where libpng is
// missing (the WebAssembly build), and then every function below throws
// PngError saying so.
extern const bool png_files_available;

class PngError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, rows from the top down
};

// Encodes width x height pixels (the fourth byte is ignored) onto an open
// stream. Throws PngError with the reason, the system's own when a write
// fails ("No space left on device").
void write_png_stream(std::FILE* file, int width, int height, const std::uint32_t* pixels);

// Writes the file `path` (or "-", standard output) in the way output_file.h
// describes: a regular file appears under its name only when complete.
// Throws OutputError naming the file and the reason, leaving nothing behind.
void write_png_rgb(const std::string& path, int width, int height, const std::uint32_t* pixels);

// A PNG opened for reading. The header is read at once and the picture only
// when asked for, so that a picture of the wrong size is turned away before
// its pixels take any memory. Any PNG is read as 8-bit RGB: palette and grey
// images are expanded, 16-bit samples reduced to their high byte, alpha
// dropped. Gamma and colour-space chunks are ignored, so the bytes come back
// as stored. Errors throw PngError "cannot read PATH: REASON".
class PngReader {
  public:
    explicit PngReader(const std::string& path);
    ~PngReader();
    PngReader(const PngReader&) = delete;
    PngReader& operator=(const PngReader&) = delete;

    int width() const;
    int height() const;
    // Decodes the picture; call it once.
    RgbImage read();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// PngReader(path).read().
RgbImage read_png_rgb(const std::string& path);
