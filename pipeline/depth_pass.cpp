#include "pipeline/depth_pass.h"

void depth_pass(const FrameFace* faces, int face_count, const FrameTarget& target, const ClipBand& band) {
    for (int f = 0; f < face_count; ++f)
        walk_face<DepthValue>(faces[f].corner, band, [&](const Span<DepthValue>& span) {
            store_nearer_depths(span, target.depth, target.width);
        });
}
