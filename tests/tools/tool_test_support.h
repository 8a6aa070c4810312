// Shared by the tool tests: a scratch directory per test, running a tool as a
// user would, and rendering frame k in-process for comparison.
#pragma once

#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"

namespace tool_test {

// What runs a built program: nothing natively; in a cross-build, the
// emulator and its options, as the first words of a shell command.
inline const std::string program_launcher = OMBRASTEL_PROGRAM_LAUNCHER;

// A fresh, empty directory, removed with everything in it afterwards.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        std::random_device entropy;
        path_ = std::filesystem::temp_directory_path() /
                ("ombrastel-tool-test-" + std::to_string(entropy()) + std::to_string(entropy()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

    // Every entry below the directory, hidden ones included.
    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path_))
            names.insert(entry.path().lexically_relative(path_).string());  // links not followed
        return names;
    }

  private:
    std::filesystem::path path_;
};

inline std::string read_text(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

inline std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct ToolRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs `tool` with `arguments` in `directory` (relative paths resolve there),
// its standard output and error caught in files outside that directory.
// `shell_prefix` comes before the tool in the shell command ("ulimit -v 100000;").
inline ToolRun run_tool(const std::string& tool, const std::vector<std::string>& arguments,
                        const ScratchDirectory& directory, const std::string& shell_prefix = "") {
    static const ScratchDirectory captures;
    const std::string out_file = captures.file("out"), err_file = captures.file("err");
    std::string command = "cd ";
    command += shell_quoted(directory.path().string());
    command += " && ";
    command += shell_prefix;
    if (!program_launcher.empty()) command += program_launcher + " ";
    command += shell_quoted(tool);
    for (const std::string& argument : arguments) {
        command += ' ';
        command += shell_quoted(argument);
    }
    command += " >";
    command += shell_quoted(out_file);
    command += " 2>";
    command += shell_quoted(err_file);
    command += " </dev/null";
    const int status = std::system(command.c_str());
    ToolRun run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = read_text(out_file);
    run.err = read_text(err_file);
    return run;
}

// A PNG whose header and first row are whole and whose picture stops there:
// what a reader sees of a huge picture before its pixels. The row is noise,
// which no compression keeps from filling a chunk of its own.
inline void write_cut_picture(const std::string& path, png_uint_32 width, png_uint_32 height) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_byte> row(static_cast<std::size_t>(width) * 3);
    std::mt19937 random(1);
    for (png_byte& byte : row) byte = static_cast<png_byte>(random());
    if (!setjmp(png_jmpbuf(png))) {
        png_init_io(png, file);
        png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        png_write_row(png, row.data());
    } else {
        ADD_FAILURE() << "libpng could not write " << path;
    }
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

inline void start_headless(int width, int height) {
    ASSERT_TRUE(start_system({static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)}));
}

// The red, green and blue bytes of the frame buffer as 0x00RRGGBB.
inline std::vector<std::uint32_t> frame_colours() {
    std::vector<std::uint32_t> colours(frame_buffer, frame_buffer + std::size_t{frame_width} * frame_height);
    for (std::uint32_t& c : colours) c &= 0x00FFFFFFu;
    return colours;
}

// Frames 0 to last in order from a fresh start; `seen(k)` runs after frame k
// is rendered, before the counter moves on.
template <typename Seen> void render_frames(int width, int height, std::uint32_t last, Seen seen) {
    start_headless(width, height);
    for (std::uint32_t frame = 0; frame <= last; ++frame) {
        render_frame();
        seen(frame);
        advance_frame_counter();
    }
}

}  // namespace tool_test
