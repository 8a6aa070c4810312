// ombrastel-snapshot: renders the animation without a window and writes
// frames, or the texture, as PNG files; or finds which frame a picture is.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "app/startup.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "raster/shading.h"
#include "scene/scene_data.h"
#include "tools/png_io.h"
#include "tools/tool_args.h"

namespace {

constexpr const char* program_name = "ombrastel-snapshot";
constexpr std::uint32_t default_search_limit = 30000;

constexpr const char* help_text = R"(Usage: ombrastel-snapshot [options]

Renders the Ombrastel animation without a window and writes frames as PNG
files, or tells which frame a picture is.

Frame k is the picture that the (k+1)-th call of render_frame leaves when the
system starts from its initial state and the frame counter is advanced after
every frame: frame_counter is k mod 512 and the zoom has taken k+1 steps.
Frame 0 is the first picture the window program shows.

Options:
  --size WxH          frame size: even width and height from 2 to 32766
                      (default 1910x1070, the frame on a 1920x1080 screen)
  --screen WxH        frame size for a screen of this size, as the window
                      program derives it: each side less 10, rounded down to
                      an even number (instead of --size)
  --frames LIST       frames to write: numbers and ranges joined by commas,
                      such as 0-99 or 5,300,2386 (needs --out)
  --out PATTERN       file name of each frame, with one printf-style %d for the
                      frame number, such as out/f%05d.png (%% is a percent sign)
  --texture-out FILE  write the decoded 128x128 texture
  --find IMAGE        print the number of the frame in 0..N that the PNG IMAGE
                      (the client area; the frame's size) equals exactly
  --max N             the last frame --find tries (default 30000)
  --workers 1|2       2: shade with the two render workers (default);
                      1: shade both halves on one thread; the pictures agree
  --help              show this text and exit

Options take their value as the next argument or after '=' (--size=640x480).

PNG files are 8-bit RGB holding exactly the frame's red, green and blue bytes,
with no gamma or colour-space chunk. A file appears under its name only once
it is complete.

Exit status: 0 done (with --find: a frame matched); 1 --find: no frame in
0..N matches; 2 bad arguments, or a file that cannot be read or written (one
line on standard error, and no partial file left behind).
)";

struct Options {
    FrameSize size = default_frame_size;
    std::optional<FrameList> frames;
    std::optional<FramePattern> out;
    std::optional<std::string> texture_out;
    std::optional<std::string> find_image;
    std::optional<std::uint32_t> search_limit;
    ShadingMode mode = ShadingMode::two_workers;
    bool help = false;
};

Options parse_options(int argc, char** argv) {
    Options options;
    bool size_seen = false, screen_seen = false, frames_seen = false, out_seen = false,
         texture_seen = false, find_seen = false, max_seen = false, workers_seen = false;
    ArgumentCursor cursor(argc, argv);
    while (!cursor.done()) {
        const std::string option = cursor.next_option();
        if (option == "--help") {
            cursor.expect_no_value();
            options.help = true;
        } else if (option == "--size") {
            given_once(size_seen, option);
            options.size = parse_frame_size(cursor.value(), option);
        } else if (option == "--screen") {
            given_once(screen_seen, option);
            options.size = parse_screen_size(cursor.value(), option);
        } else if (option == "--frames") {
            given_once(frames_seen, option);
            options.frames = FrameList::parse(cursor.value(), option);
        } else if (option == "--out") {
            given_once(out_seen, option);
            options.out = FramePattern::parse(cursor.value(), option);
        } else if (option == "--texture-out") {
            given_once(texture_seen, option);
            options.texture_out = cursor.value();
        } else if (option == "--find") {
            given_once(find_seen, option);
            options.find_image = cursor.value();
        } else if (option == "--max") {
            given_once(max_seen, option);
            options.search_limit =
                static_cast<std::uint32_t>(parse_count(cursor.value(), option, 0, largest_frame_number));
        } else if (option == "--workers") {
            given_once(workers_seen, option);
            options.mode = parse_count(cursor.value(), option, 1, 2) == 1 ? ShadingMode::calling_thread
                                                                          : ShadingMode::two_workers;
        } else {
            throw ArgumentError("unknown option " + option + " (see --help)");
        }
    }
    if (options.help) return options;
    if (size_seen && screen_seen) throw ArgumentError("give --size or --screen, not both");
    if (options.frames && !options.out) throw ArgumentError("--frames needs --out to name the files");
    if (options.out && !options.frames) throw ArgumentError("--out needs --frames to say which frames");
    if (options.frames && options.find_image) throw ArgumentError("give --frames or --find, not both");
    if (options.search_limit && !options.find_image) throw ArgumentError("--max belongs to --find");
    if (!options.frames && !options.texture_out && !options.find_image)
        throw ArgumentError("nothing to do: give --frames with --out, --texture-out or --find (see --help)");
    return options;
}

bool same_picture(const RgbImage& image) {
    const std::uint32_t* frame = frame_buffer;
    return std::equal(image.pixels.begin(), image.pixels.end(), frame,
                      [](std::uint32_t stored, std::uint32_t rendered) {
                          return stored == (rendered & 0x00FFFFFFu);
                      });
}

int run(const Options& options) {
    // Every check that can fail on the arguments comes before the first frame,
    // so that a mistake costs no rendering and leaves no file.
    if (options.out) check_writable_location(options.out->name_for(options.frames->ranges()[0].first), "--out");
    if (options.texture_out) check_writable_location(*options.texture_out, "--texture-out");
    std::optional<RgbImage> image;
    if (options.find_image) {
        try {
            image = read_png_rgb(*options.find_image);
        } catch (const PngError& error) {
            throw ArgumentError(std::string("--find: ") + error.what());
        }
        if (image->width != options.size.width || image->height != options.size.height)
            throw ArgumentError("--find: " + *options.find_image + " is " + std::to_string(image->width) +
                                "x" + std::to_string(image->height) + " but the frame is " +
                                std::to_string(options.size.width) + "x" +
                                std::to_string(options.size.height) + " (give --size or --screen)");
    }

    if (!start_system(options.size))
        throw ArgumentError("cannot obtain the pixel buffers of a " + std::to_string(options.size.width) +
                            "x" + std::to_string(options.size.height) + " frame");
    shading_mode = options.mode;

    if (options.texture_out) write_png_rgb(*options.texture_out, texture_size, texture_size, texture);

    if (options.frames) {
        for (std::uint32_t frame = 0; frame <= options.frames->last_frame(); ++frame) {
            render_frame();
            if (options.frames->contains(frame))
                write_png_rgb(options.out->name_for(frame), frame_width, frame_height, frame_buffer);
            advance_frame_counter();
        }
    }

    if (image) {
        const std::uint32_t limit = options.search_limit.value_or(default_search_limit);
        for (std::uint32_t frame = 0; frame <= limit; ++frame) {
            render_frame();
            if (same_picture(*image)) {
                std::printf("%u\n", static_cast<unsigned>(frame));
                return 0;
            }
            advance_frame_counter();
        }
        std::fprintf(stderr, "%s: no frame in 0..%u matches %s\n", program_name,
                     static_cast<unsigned>(limit), options.find_image->c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse_options(argc, argv);
        if (options.help) {
            std::fputs(help_text, stdout);
            return 0;
        }
        return run(options);
    } catch (const ArgumentError& error) {
        std::fprintf(stderr, "%s: %s\n", program_name, one_line(error.what()).c_str());
    } catch (const PngError& error) {
        std::fprintf(stderr, "%s: %s\n", program_name, one_line(error.what()).c_str());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", program_name);
    }
    return bad_arguments_exit;
}
