// ombrastel-snapshot: renders the animation without a window and writes
// frames, or the texture, as PNG files; or finds which frame a picture is.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "app/startup.h"
#include "cli/engine_options.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"
#include "tools/frame_digest.h"
#include "tools/frame_search.h"
#include "tools/output_file.h"
#include "tools/png_io.h"
#include "tools/progress.h"
#include "tools/tool_args.h"

namespace {

constexpr const char* program_name = "ombrastel-snapshot";
constexpr std::uint32_t default_search_limit = 30000;
// A run shorter than this shows no progress.
constexpr auto quiet_start = std::chrono::milliseconds(500);

constexpr const char* description = R"(Renders the Ombrastel animation without a window and writes frames as PNG
files, or tells which frame a picture is.

Frame 0 is the first picture the window program shows, frame 1 the second,
and so on, whatever the speed it runs at. The solid turns once every 512
frames and zooms in and out once every 1824 frames, so the animation repeats
after 29184 frames. Both engines draw the same pictures, bit for bit, with
any number of workers.)";

constexpr const char* footer = R"(Options take their value as the next argument or after '=' (--size=640x480).

PNG files are 8-bit RGB holding exactly the frame's red, green and blue bytes,
with no gamma or colour-space chunk. A file appears under its name only once
it is complete: it is written beside it under a temporary name and renamed.
A symbolic link is followed and the file it leads to replaced; a FIFO or a
character device is written directly; '-' is standard output. Every output
name is checked before the first frame is rendered. Runs of more than a
moment show their progress on standard error.

Exit status: 0 done (with --find: a frame matched); 1 --find: no frame in
0..N matches; 2 bad arguments, or a file that cannot be read or written (one
line on standard error, and no partial file left behind).)";

// The options as given, before their values are checked.
struct Given {
    std::optional<std::string> size, screen, frames, out, texture_out, find, max;
    bool digest = false;
    GivenEngineOptions engine;
};

struct Options {
    FrameSize size = default_frame_size;
    std::optional<FrameList> frames;
    std::optional<FramePattern> out;  // empty with --out - (standard output)
    bool out_to_standard_output = false;
    bool digest = false;
    std::optional<std::string> texture_out;
    std::optional<std::string> find_image;
    std::optional<std::uint32_t> search_limit;
    EngineChoice engine;
};

// Help lines are kept within 80 columns: 24 for the option, 56 for the text.
void declare_options(CommandLine& line, Given& given) {
    line.option("--size", "WxH",
                "frame size: even width and height from 2 to 32766\n"
                "(default 1910x1070, the frame on a 1920x1080 screen)",
                &given.size);
    line.option("--screen", "WxH",
                "frame size for a screen of this size, as the window\n"
                "program derives it: each side less 10, rounded down\n"
                "to an even number (instead of --size)",
                &given.screen);
    line.option("--frames", "LIST",
                "frames to write: numbers and ranges joined by commas,\n"
                "such as 0-99 or 5,300,2386 (needs --out)",
                &given.frames);
    line.option("--out", "PATTERN",
                "file name of each frame, with one printf-style %d for\n"
                "the frame number, such as out/f%05d.png (%% is a\n"
                "percent sign); '-' writes the one frame of --frames\n"
                "to standard output",
                &given.out);
    line.flag("--digest",
              "instead of --out: print a line per frame of --frames,\n"
              "its number and the SHA-256 of its bytes (blue, green,\n"
              "red, fourth byte per pixel, rows from the top)",
              &given.digest);
    line.option("--texture-out", "FILE",
                "write the decoded 128x128 texture ('-': standard\n"
                "output)",
                &given.texture_out);
    line.option("--find", "IMAGE",
                "print the number of the frame in 0..N that the PNG\n"
                "IMAGE (the client area; the frame's size) equals\n"
                "exactly",
                &given.find);
    line.option("--max", "N", "the last frame --find tries (default 30000)", &given.max);
    declare_engine_options(line, given.engine);
}

Options options_from(const Given& given) {
    Options options;
    if (!png_files_available) {
        for (const auto& [option, value] :
             {std::pair{"--out", &given.out}, {"--texture-out", &given.texture_out}, {"--find", &given.find}})
            if (*value)
                throw ArgumentError(std::string(option) +
                                    ": this build reads and writes no PNG files; give --frames with --digest");
    }
    if (given.size) options.size = parse_frame_size(*given.size, "--size");
    if (given.screen) options.size = parse_screen_size(*given.screen, "--screen");
    if (given.frames) options.frames = FrameList::parse(*given.frames, "--frames");
    if (given.out && *given.out == standard_output_name)
        options.out_to_standard_output = true;
    else if (given.out)
        options.out = FramePattern::parse(*given.out, "--out");
    options.digest = given.digest;
    options.texture_out = given.texture_out;
    options.find_image = given.find;
    if (given.max)
        options.search_limit = static_cast<std::uint32_t>(parse_count(*given.max, "--max", 0, largest_frame_number));
    options.engine = engine_choice_from(given.engine);

    const bool writes_frames = options.out || options.out_to_standard_output;
    if (given.size && given.screen) throw ArgumentError("give --size or --screen, not both");
    if (writes_frames && options.digest) throw ArgumentError("give --out or --digest, not both");
    if (options.frames && !writes_frames && !options.digest)
        throw ArgumentError("--frames needs --out to name the files, or --digest");
    if (writes_frames && !options.frames) throw ArgumentError("--out needs --frames to say which frames");
    if (options.digest && !options.frames) throw ArgumentError("--digest needs --frames to say which frames");
    if (options.frames && options.find_image) throw ArgumentError("give --frames or --find, not both");
    if (options.search_limit && !options.find_image) throw ArgumentError("--max belongs to --find");
    if (!options.frames && !options.texture_out && !options.find_image)
        throw ArgumentError("nothing to do: give --frames with --out, --texture-out or --find (see --help)");
    if (options.out_to_standard_output && options.frames->frame_count() != 1)
        throw ArgumentError("--out - writes one picture to standard output, but --frames names " +
                            std::to_string(options.frames->frame_count()) + " frames");
    const bool texture_to_standard_output = options.texture_out && *options.texture_out == standard_output_name;
    if (texture_to_standard_output && options.out_to_standard_output)
        throw ArgumentError("--texture-out - and --out - would both write to standard output");
    if (texture_to_standard_output && options.digest)
        throw ArgumentError("--texture-out - and --digest would both write to standard output");
    if (texture_to_standard_output && options.find_image)
        throw ArgumentError("--texture-out - and --find would both write to standard output");
    return options;
}

std::string frame_name(const Options& options, std::uint32_t frame) {
    return options.out_to_standard_output ? std::string(standard_output_name) : options.out->name_for(frame);
}

// Every output name, and the picture to find, are checked before the first
// frame, so that a mistake costs no rendering and leaves no file.
std::optional<RgbImage> check_before_rendering(const Options& options) {
    OutputCheck outputs;
    auto check = [&](const char* option, const std::string& name) {
        try {
            outputs.check(name);
        } catch (const OutputError& error) {
            throw ArgumentError(std::string(option) + ": " + error.what());
        }
    };
    if (options.texture_out) check("--texture-out", *options.texture_out);
    if (options.frames && !options.digest)
        for (const FrameRange& range : options.frames->ranges())
            for (std::uint64_t frame = range.first; frame <= range.last; ++frame)
                check("--out", frame_name(options, static_cast<std::uint32_t>(frame)));

    if (!options.find_image) return std::nullopt;
    try {
        // The header alone tells the size: a picture of the wrong size is
        // refused before its pixels take any memory.
        PngReader reader(*options.find_image);
        if (reader.width() != options.size.width || reader.height() != options.size.height)
            throw ArgumentError("--find: " + *options.find_image + " is " + std::to_string(reader.width()) + "x" +
                                std::to_string(reader.height()) + " but the frame is " +
                                std::to_string(options.size.width) + "x" + std::to_string(options.size.height) +
                                " (give --size or --screen)");
        return reader.read();
    } catch (const PngError& error) {
        throw ArgumentError(std::string("--find: ") + error.what());
    }
}

std::string frames_done(const char* doing, std::uint32_t frame, std::uint32_t last) {
    return std::string(doing) + " frame " + std::to_string(frame) + " of 0.." + std::to_string(last) + " (" +
           std::to_string(static_cast<int>(100.0 * frame / std::max<std::uint32_t>(last, 1))) + "%)";
}

int run(const Options& options) {
    const std::optional<RgbImage> image = check_before_rendering(options);

    if (!start_system(options.size))
        throw ArgumentError("cannot obtain the pixel buffers of a " + std::to_string(options.size.width) + "x" +
                            std::to_string(options.size.height) + " frame");
    start_chosen_engine(options.engine);

    if (options.texture_out) write_png_rgb(*options.texture_out, texture_size, texture_size, texture);

    ProgressLine progress(program_name, quiet_start);
    if (options.frames) {
        const std::uint32_t last = options.frames->last_frame();
        const std::uint64_t files = options.frames->frame_count();
        std::uint64_t written = 0;
        auto state = [&](std::uint32_t frame) {
            return frames_done("rendering", frame, last) + ", " + std::to_string(written) + " of " +
                   std::to_string(files) + (options.digest ? " digests printed" : " files written");
        };
        for (std::uint32_t frame = 0; frame <= last; ++frame) {
            if (progress.due()) progress.show(state(frame));
            // A frame's picture depends on its number alone, but the zoom
            // advances frame by frame: the frames not asked for are taken
            // through the transform, which advances it, and not drawn.
            if (!options.frames->contains(frame)) {
                transform_and_project();
                advance_frame_counter();
                continue;
            }
            render_frame();
            if (options.digest) {
                std::printf("%u %s\n", static_cast<unsigned>(frame),
                            frame_digest(frame_buffer, frame_width, frame_height).c_str());
                ++written;
            } else {
                write_png_rgb(frame_name(options, frame), frame_width, frame_height, frame_buffer);
                ++written;
            }
            advance_frame_counter();
        }
        progress.finish(state(last));
    }

    if (image) {
        const std::uint32_t limit = options.search_limit.value_or(default_search_limit);
        if (const std::optional<std::uint32_t> frame = find_frame(*image, limit, progress)) {
            std::printf("%u\n", static_cast<unsigned>(*frame));
            return 0;
        }
        std::fprintf(stderr, "%s: no frame in 0..%u matches %s\n", program_name, static_cast<unsigned>(limit),
                     options.find_image->c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    prepare_output_signals();
    try {
        CommandLine line(program_name, description, footer);
        Given given;
        declare_options(line, given);
        switch (line.parse(argc, argv)) {
            case CommandLine::Outcome::show_help: std::fputs(line.help_text().c_str(), stdout); return 0;
            case CommandLine::Outcome::show_version: std::fputs(line.version_line().c_str(), stdout); return 0;
            case CommandLine::Outcome::run: break;
        }
        return run(options_from(given));
    } catch (const ArgumentError& error) {
        std::fprintf(stderr, "%s: %s\n", program_name, one_line(error.what()).c_str());
    } catch (const OutputError& error) {
        std::fprintf(stderr, "%s: %s\n", program_name, one_line(error.what()).c_str());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", program_name);
    }
    return bad_arguments_exit;
}
