// How many pixel shades the shading pass of the current frame makes: one per
// pixel of every face inside the frame, overlapping faces counted each time.
// The bench reports pixels shaded per second from it.
#pragma once

#include <cstdint>

// Counts from the frame's screen_vertices by the rules both passes walk a face
// with: the same corner order, the same 22.10 edge stepping, top row in and
// bottom row out, left column in and right column out, clipped to the frame.
// Every face is shaded wherever it covers the frame, however far outside its
// corners lie. Call it after transform_and_project(); it reads the geometry
// only and writes nothing.
std::uint64_t count_pixel_shades();
