#include "tools/pixel_shades.h"

#include "pipeline/face_walk.h"
#include "pipeline/frame.h"
#include "scene/scene_data.h"

namespace {

// The walk without values: only the coverage is counted.
struct NoValues {
    static NoValues at_corner(const ShadeCorner&) { return {}; }
    static NoValues zero() { return {}; }
    static NoValues change(const NoValues&, const NoValues&, float) { return {}; }
    void add(const NoValues&) {}
    void skip(const NoValues&, float) {}
};

}  // namespace

std::uint64_t count_pixel_shades() {
    // Whichever engine draws, every covered pixel of the frame is shaded
    // once per face that covers it.
    const ClipBand whole_frame{0, frame_height, 0, frame_width};
    std::uint64_t shades = 0;
    for (int face = 0; face < face_count; ++face) {
        ShadeCorner corners[3];
        gather_face_corners(face, corners);
        walk_face<NoValues>(corners, whole_frame, [&](const Span<NoValues>& span) { shades += span.count; });
    }
    return shades;
}
