// The values of the headless tools' options: the frame size, frame lists,
// counts and output name patterns. Every parser either fills its result or
// throws ArgumentError with one line that names the argument and says what is
// wrong with it; the tools print that line and exit with bad_arguments_exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/startup.h"
#include "cli/command_line.h"

// The frame the tools render unless told otherwise: the window's frame on a
// 1920 x 1080 screen.
inline constexpr FrameSize default_frame_size{1910, 1070};

// "WxH" with two decimal numbers and nothing else. `option` names the argument
// in error messages.
struct ScreenSize {
    int width;
    int height;
};
ScreenSize parse_dimensions(std::string_view text, std::string_view option);

// A frame size given directly: even sides from 2 to largest_frame_side.
FrameSize parse_frame_size(std::string_view text, std::string_view option);

// Frame sizes, comma-separated ("320x240,640x480"), each as parse_frame_size
// takes it, none twice, at most most_frame_sizes of them, in the order given.
inline constexpr std::size_t most_frame_sizes = 32;
std::vector<FrameSize> parse_frame_sizes(std::string_view text, std::string_view option);

// A frame size derived from a screen size as the window program derives it.
FrameSize parse_screen_size(std::string_view text, std::string_view option);

// Frame numbers: a comma-separated list of numbers and ascending ranges
// ("0-99", "5,300,2386", "0-9,40"), kept as sorted, merged ranges.
struct FrameRange {
    std::uint32_t first;
    std::uint32_t last;  // inclusive
};
class FrameList {
  public:
    static FrameList parse(std::string_view text, std::string_view option);
    bool contains(std::uint32_t frame) const;
    std::uint32_t last_frame() const { return ranges_.back().last; }
    std::uint64_t frame_count() const;
    const std::vector<FrameRange>& ranges() const { return ranges_; }

  private:
    std::vector<FrameRange> ranges_;  // never empty, sorted, disjoint
};

// Largest frame number a list or a search may name; far more frames than any
// run would render, and small enough that a frame count never overflows.
inline constexpr std::uint32_t largest_frame_number = 100'000'000;

// A file name holding exactly one integer conversion: "%d", optionally with
// flags and a width ("%05d"); "%%" stands for a percent sign.
class FramePattern {
  public:
    static FramePattern parse(std::string_view text, std::string_view option);
    std::string name_for(std::uint32_t frame) const;

  private:
    std::string prefix_;
    std::string conversion_;  // "%" flags width "d"
    std::string suffix_;
};
