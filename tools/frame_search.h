// The frame search of ombrastel-snapshot --find: which frame of the
// animation a picture is.
#pragma once

#include <cstdint>
#include <optional>

#include "tools/png_io.h"
#include "tools/progress.h"

// Renders frames 0 to `last` with the running engine, from the frame counter
// where it stands (a fresh start: frame 0), until one equals `image` (its
// red, green and blue bytes; the frame's size). Shows the search's progress
// on `progress` as it goes, and finishes it with the frame found or with the
// last one searched. Returns the frame found.
std::optional<std::uint32_t> find_frame(const RgbImage& image, std::uint32_t last, ProgressLine& progress);
