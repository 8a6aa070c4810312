// One-time preparation of the scene at start-up, on the main thread, before
// the first frame: texture decoding, then the model preparation steps in the
// order the start-up sequence calls them.
#pragma once

#include "scene/estimates.h"
#include "scene/scene_data.h"

// The model preparation from the initial model and lights: light directions,
// centring and scaling, face normals, vertex normals, with the arithmetic of
// `estimates`. The prepared model depends on it, so choosing the arithmetic
// prepares the model again.
void prepare_model(Estimates estimates);

// The arithmetic of the last prepare_model; default_estimates before the
// first. start_system prepares with it.
Estimates model_estimates();

// Expands packed_texture (4 bits per texel, stored turned through 180 degrees,
// last byte first, low nibble first) through palette into texture.
void decode_texture();

// Scales the direction of `count` consecutive light records to unit length with
// the reciprocal square root of `estimates` (x86: about 12 bits).
void normalize_light_directions(LightRecord* first, int count, Estimates estimates = default_estimates);

// Centres the model's bounding box on the origin and scales it so that its
// widest half-extent becomes 1 (within the reciprocal's error). count >= 1.
void centre_and_scale_model(int count, Vec3* vertices, Estimates estimates = default_estimates);

// Unit normal of every face, from the edges (P1 - P0) x (P2 - P1); (+0, +0, +0)
// for a degenerate face.
void compute_face_normals();

// Unit normal of every vertex: the plain average of the normals of the faces
// that name it, each face counted once.
void compute_vertex_normals();

// The vector routines of the normal computations. vec3_cross and
// vec3_normalize carry their intermediates in extended precision and round
// each stored component to single precision.
void vec3_sub(Vec3* out, const Vec3* a, const Vec3* b);
void vec3_cross(Vec3* out, const Vec3* a, const Vec3* b);  // out distinct from a and b
void vec3_normalize(Vec3* v);
