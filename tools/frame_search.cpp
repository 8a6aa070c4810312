#include "tools/frame_search.h"

#include <algorithm>
#include <string>

#include "engine/engine.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"

namespace {

bool same_picture(const RgbImage& image) {
    const std::uint32_t* frame = frame_buffer;
    return std::equal(image.pixels.begin(), image.pixels.end(), frame,
                      [](std::uint32_t stored, std::uint32_t rendered) { return stored == (rendered & 0x00FFFFFFu); });
}

std::string searched(std::uint32_t frame, std::uint32_t last) {
    return "searching frame " + std::to_string(frame) + " of 0.." + std::to_string(last) + " (" +
           std::to_string(static_cast<int>(100.0 * frame / std::max<std::uint32_t>(last, 1))) + "%)";
}

}  // namespace

std::optional<std::uint32_t> find_frame(const RgbImage& image, std::uint32_t last, ProgressLine& progress) {
    for (std::uint32_t frame = 0; frame <= last; ++frame) {
        if (progress.due()) progress.show(searched(frame, last));
        render_frame();
        if (same_picture(image)) {
            progress.finish(searched(frame, last) + ": found");
            return frame;
        }
        advance_frame_counter();
    }
    progress.finish(searched(last, last));
    return std::nullopt;
}
