// The depth pre-pass: every face drawn into the depth buffer alone, so that
// each pixel holds the smallest depth of the faces covering it. The shading
// pass walks the faces with the same walk (pipeline/face_walk.h), so at every
// pixel the nearest face finds exactly its own depth here.
#pragma once

#include <cstdint>

#include "pipeline/face_walk.h"
#include "pipeline/frame.h"

// The depth carried along the edges and across a run.
struct DepthValue {
    float z;

    static DepthValue at_corner(const ShadeCorner& c) { return {c.depth}; }
    static DepthValue zero() { return {0.0f}; }
    static DepthValue change(const DepthValue& from, const DepthValue& to, float steps) {
        return {(to.z - from.z) / steps};
    }
    void add(const DepthValue& step) { z = z + step.z; }
    void skip(const DepthValue& step, float steps) { z = z + steps * step.z; }
};

// Every face, first to last, into target.depth within the band's rows (the
// band spans the frame's full width). Writes nothing else.
void depth_pass(const FrameFace* faces, int face_count, const FrameTarget& target, const ClipBand& band);

// Stores the span's depths where they are nearer than the stored ones. A
// depth replaces the stored one only when strictly smaller: of two equal
// depths the first face keeps the pixel, and a NaN never enters the buffer.
inline void store_nearer_depths(const Span<DepthValue>& span, float* depth, std::uint32_t row_pitch) {
    float* element = depth + static_cast<std::size_t>(span.row) * row_pitch + span.left;
    walk_span(span, [&](std::int32_t k, const DepthValue& value) {
        if (value.z < element[k]) element[k] = value.z;
    });
}
