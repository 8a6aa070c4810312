// Fuzz target for the two rasterizing passes: one face, decoded from the
// input, goes through the depth pre-pass (depth_triangle) and the shading walk
// (shade_triangle, with the bands of both render workers and with one more
// band anywhere inside the frame) on a small headless frame.
//
// It stops the run on:
//  - a write outside the frame or depth buffer, a read outside the texture
//    (AddressSanitizer: start_system's buffers are exactly-sized heap blocks,
//    `texture` is a global array with its own guard, and the other textures
//    used here are exactly-sized heap copies);
//  - undefined behaviour, signed overflow of the 22.10 edge stepping included
//    (UndefinedBehaviorSanitizer, no recovery);
//  - the two passes covering different pixels for the same face;
//  - a pixel shaded twice for one face, a pixel changed outside the band, a
//    change to a pixel's fourth byte or to the depth buffer while shading;
//  - a NaN or a depth beyond the far depth entering the depth buffer;
//  - the front-most face not finding its own depth in the depth buffer.
//
// Running it: scripts/fuzz.sh [seconds] builds it in build-fuzz and fuzzes for
// the given time (60 s by default) on a scratch copy of tests/fuzz/corpus,
// after replaying tests/fuzz/corpus and tests/fuzz/regressions. For a longer
// run give more seconds (scripts/fuzz.sh 3600), or run the binary by hand on
// both cores with a corpus of your own that survives between runs:
//   mkdir -p build-fuzz/long-corpus
//   build-fuzz/tests/fuzz/fuzz_passes -max_len=96 -timeout=10 -jobs=2 -workers=2 \
//       -max_total_time=3600 build-fuzz/long-corpus tests/fuzz/corpus
// Any input that stops it belongs in tests/fuzz/regressions once it is mended.
//
// Input layout (every field has a fixed place, missing bytes read as 0):
//   byte 0      frame size: 64 x 48 (twice as likely), 30 x 22, or 2 x 2
//   bytes 1-4   the extra band: first row, end row, first column, end column,
//               each taken modulo the side + 1 and put in order
//   bytes 5-88  three corners of 28 bytes each, in face order:
//                 x     kind byte + 4 bytes
//                 y     kind byte + 4 bytes
//                 depth kind byte + 4 bytes
//                 normal kind byte + 12 bytes
// The kinds bias the corners towards the hard cases: the ends of the signed
// 16-bit range, copies of another corner's row or column (flat tops and
// bottoms, all corners on one row or one column, degenerate faces), corners
// more than 32767 apart, coordinates through make_screen_point from any float,
// and depths and normals that are infinite, NaN, zero or huge.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "app/startup.h"
#include "depth_routines.h"
#include "pipeline/depth_pass.h"
#include "pipeline/frame.h"
#include "raster/shade_pixel.h"
#include "raster/shading.h"
#include "scene/scene_data.h"

namespace {

// The fourth byte of every pixel during the wild run: shading must keep it.
constexpr std::uint32_t fourth_byte_marker = 0xA5000000u;

class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() {
        const std::uint8_t b = position_ < size_ ? data_[position_] : 0;
        ++position_;
        return b;
    }
    std::uint32_t word() {
        std::uint32_t w = 0;
        for (int n = 0; n < 4; ++n) w |= std::uint32_t{byte()} << (8 * n);
        return w;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

float float_from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }
float far_depth() { return float_from_bits(far_depth_bits); }

std::int16_t saturate16(std::int32_t v) {
    return static_cast<std::int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

struct Face {
    std::int16_t x[3], y[3];
    float depth[3];
    Vec4 normal[3];
};

// One coordinate of corner n; `side` is the frame's width for x, height for y.
// `earlier` holds the same coordinate of the corners decoded before.
std::int16_t decode_coordinate(Reader& in, int side, const std::int16_t* earlier, int n, bool is_x) {
    const std::uint8_t kind = in.byte();
    const std::uint32_t raw = in.word();
    const std::uint16_t raw16 = static_cast<std::uint16_t>(raw);
    switch (kind % 8) {
        case 0:  // anything in the signed 16-bit range
            return static_cast<std::int16_t>(raw16);
        case 2: {  // the ends of the range and the frame's own edges
            const std::int32_t special[] = {-32768, 32767,        -32767,       32766,    0,      -1,    1,
                                            side,   side - 1,     side + 1,     side / 2, -16384, 16384, 16383,
                                            -16385, 32767 - side, -32768 + side};
            return saturate16(special[raw % std::size(special)]);
        }
        case 3:  // another corner's row or column, moved by a few pixels at most
            if (n > 0) {
                const std::int32_t delta = static_cast<std::int8_t>(raw >> 8) >> 4;  // -8..7
                const std::int32_t moved = (raw >> 16) & 1 ? delta : 0;
                return saturate16(earlier[raw16 % 256 % n] + moved);
            }
            [[fallthrough]];
        case 1:
        case 6:
        default:  // near the frame: a few pixels around it
            return static_cast<std::int16_t>(static_cast<std::int32_t>(raw16 % (side + 17)) - 8);
        case 4: {  // through the system's own rounding and saturation, from any float
            const float f = float_from_bits(raw);
            const ScreenPoint p = is_x ? make_screen_point(f, 0.0f) : make_screen_point(0.0f, f);
            return is_x ? screen_point_x(p) : screen_point_y(p);
        }
        case 5: {  // far away on either side: pairs of these are more than 32767 apart
            const std::int32_t magnitude = 16384 + raw16 % 16385;  // 16384..32768
            return saturate16((raw >> 16) & 1 ? -magnitude : magnitude - 1);
        }
    }
}

float decode_depth(Reader& in, const float* earlier, int n) {
    const std::uint8_t kind = in.byte();
    const std::uint32_t raw = in.word();
    switch (kind % 6) {
        case 0: return float_from_bits(raw);
        case 2: {
            const std::uint32_t special[] = {
                0x7F800000u,  // +inf
                0xFF800000u,  // -inf
                0x7FC00000u,  // NaN
                0xFFC00000u,  // -NaN
                0x7F800001u,  // signalling NaN
                0x00000000u,  // 0
                0x80000000u,  // -0
                far_depth_bits, far_depth_bits - 1,
                0x7F7FFFFFu,  // largest float
                0xFF7FFFFFu,  // its negative
                0x00000001u,  // smallest subnormal
                0x4B800000u,  // 2^24
                0xCB800000u,  // -2^24
                0x4B000000u,  // 2^23
                0x4BE4E1C0u,  // 3e7, where one rounding step is 2
                0xCBE4E1C0u,  // -3e7
                0x7149F2CAu,  // 1e30
                0xF149F2CAu,  // -1e30
            };
            return float_from_bits(special[raw % std::size(special)]);
        }
        case 3:
            if (n > 0) return earlier[raw % n];
            [[fallthrough]];
        default:  // small, in steps of 1/16
            return static_cast<float>(static_cast<std::int16_t>(raw)) / 16.0f;
    }
}

Vec4 decode_normal(Reader& in) {
    const std::uint8_t kind = in.byte();
    std::uint32_t raw[3];
    for (std::uint32_t& r : raw) r = in.word();
    Vec4 v{{0.0f, 0.0f, 0.0f, 0.0f}};
    switch (kind % 6) {
        case 0:
            for (int k = 0; k < 3; ++k) v.lane[k] = float_from_bits(raw[k]);
            break;
        case 2:  // zero
            break;
        case 3: v.lane[2] = -1.0f; break;
        case 4: {
            const float special[] = {0.0f,
                                     -0.0f,
                                     1.0f,
                                     -1.0f,
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::quiet_NaN(),
                                     1e30f,
                                     -1e30f,
                                     1e-30f,
                                     std::numeric_limits<float>::denorm_min(),
                                     std::numeric_limits<float>::max()};
            for (int k = 0; k < 3; ++k) v.lane[k] = special[raw[k] % std::size(special)];
            break;
        }
        default: {  // a unit normal in any direction
            float x = static_cast<std::int8_t>(raw[0]), y = static_cast<std::int8_t>(raw[1]),
                  z = static_cast<std::int8_t>(raw[2]);
            const float length = std::sqrt(x * x + y * y + z * z);
            if (length == 0.0f) {
                z = -1.0f;
            } else {
                x /= length, y /= length, z /= length;
            }
            v.lane[0] = x, v.lane[1] = y, v.lane[2] = z;
            break;
        }
    }
    return v;
}

// Below 2^25 a depth d always lies within (d - 1.1, d + 1.1] after rounding;
// from 2^24 on a single rounding step (2) is already beyond the tolerance, so
// there any difference between the two passes' depth arithmetic shows.
constexpr float largest_checked_depth = 33554432.0f;

struct FrameChoice {
    std::uint16_t width, height;
};
constexpr FrameChoice frame_choices[4] = {{64, 48}, {64, 48}, {30, 22}, {2, 2}};

// State kept between inputs: the system is restarted only when the frame
// size changes.
struct Bench {
    int width = 0, height = 0;
    std::uint32_t* white_texture = nullptr;  // exactly texel_count texels
    std::uint32_t* texture_copy = nullptr;   // the real texture, exactly sized
    std::uint32_t front_colour = 0;          // one sane pixel, front-most
    std::uint32_t back_colour = 0;           // the same, not front-most
    std::vector<float> depth_copy;
    std::vector<std::uint32_t> frame_copy;
    std::vector<std::uint8_t> covered;
};
Bench bench;

const Face* current_face = nullptr;

void print_face(const Face& f) {
    std::fprintf(stderr, "frame %d x %d, face corners in face order:\n", bench.width, bench.height);
    for (int n = 0; n < 3; ++n)
        std::fprintf(stderr, "  (%d, %d) depth %a normal (%a, %a, %a)\n", f.x[n], f.y[n],
                     static_cast<double>(f.depth[n]), static_cast<double>(f.normal[n].lane[0]),
                     static_cast<double>(f.normal[n].lane[1]), static_cast<double>(f.normal[n].lane[2]));
}

[[noreturn]] void fail(const char* what, int pixel) {
    std::fprintf(stderr, "fuzz_passes: %s", what);
    if (pixel >= 0) std::fprintf(stderr, " at pixel (%d, %d)", pixel % bench.width, pixel / bench.width);
    std::fprintf(stderr, "\n");
    if (current_face) print_face(*current_face);
    std::abort();
}

std::uint32_t shade_one_sane_pixel(float own_depth, float stored_depth, const std::uint32_t* texels) {
    const __m128 normal = _mm_setr_ps(0.0f, 0.0f, -1.0f, 0.0f);
    const __m128 attributes = _mm_setr_ps(0.0f, 0.0f, own_depth, 0.0f);
    std::uint32_t pixel = 0;
    shade_pixel(normal, attributes, stored_depth, &pixel, texels);
    return pixel;
}

void use_frame(const FrameChoice& choice) {
    if (bench.width == choice.width && bench.height == choice.height) return;
    if (!start_system({choice.width, choice.height})) fail("start_system refused the frame size", -1);
    bench.width = choice.width;
    bench.height = choice.height;
    const std::size_t pixels = std::size_t{choice.width} * choice.height;
    bench.depth_copy.assign(pixels, 0.0f);
    bench.frame_copy.assign(pixels, 0);
    bench.covered.assign(pixels, 0);
    std::memcpy(bench.texture_copy, texture, sizeof(std::uint32_t) * texel_count);
}

void initialise() {
    // Plain heap blocks of exactly the texture's size, so that a read past
    // either end lands in AddressSanitizer's guard.
    bench.white_texture = new std::uint32_t[texel_count];
    bench.texture_copy = new std::uint32_t[texel_count];
    for (int i = 0; i < texel_count; ++i) bench.white_texture[i] = 0x00FFFFFFu;
    use_frame(frame_choices[0]);
    bench.front_colour = shade_one_sane_pixel(0.0f, 0.0f, bench.white_texture);
    bench.back_colour = shade_one_sane_pixel(0.0f, far_depth(), bench.white_texture);
    // The coverage comparison reads "shaded" as "changed from black", and the
    // front-most check tells the two outcomes apart by colour.
    if (bench.front_colour == 0 || bench.back_colour == 0 || bench.front_colour == bench.back_colour)
        fail("the sane face's two pixel colours cannot be told apart", -1);
    // A pixel that finds its own depth stored is front-most for every depth
    // that the front-most check below relies on.
    for (const float d : {std::nextafter(largest_checked_depth, 0.0f), 16777216.0f, 1.0f, -1e-30f}) {
        for (const float own : {d, -d}) {
            if (shade_one_sane_pixel(own, own, bench.white_texture) != bench.front_colour)
                fail("a depth below the checked limit is not front-most at its own depth", -1);
        }
    }
    // Across the whole texture the bilinear weights of a white texture must
    // give these same two colours, or the colour checks below would misfire.
    for (float u = 0.0f; u < 127.0f; u += 0.8125f) {
        for (float v = 0.0f; v < 127.0f; v += 1.4375f) {
            for (const float stored : {0.0f, far_depth()}) {
                std::uint32_t pixel = 0;
                shade_pixel(_mm_setr_ps(0.0f, 0.0f, -1.0f, 0.0f), _mm_setr_ps(u, v, 0.0f, 0.0f), stored, &pixel,
                            bench.white_texture);
                if (pixel != (stored == 0.0f ? bench.front_colour : bench.back_colour))
                    fail("a white texel changes the sane colour with its position", -1);
            }
        }
    }
}

ShadeTarget target_for(const ClipBand& band, const std::uint32_t* texels) {
    return {band, frame_height, frame_width, frame_buffer, depth_buffer, texels};
}

void make_corners(const Face& face, bool sane_depth, bool sane_normal, ShadeCorner out[3]) {
    for (int n = 0; n < 3; ++n) {
        out[n].position = static_cast<ScreenPoint>(static_cast<std::uint16_t>(face.x[n])) << 16 |
                          static_cast<std::uint16_t>(face.y[n]);
        out[n].depth = sane_depth ? 0.0f : face.depth[n];
        out[n].normal = sane_normal ? Vec4{{0.0f, 0.0f, -1.0f, 0.0f}} : face.normal[n];
        out[n].u = static_cast<std::uint16_t>(corner_texcoords[n] & 0xFFFFu);
        out[n].v = static_cast<std::uint16_t>(corner_texcoords[n] >> 16);
    }
}

void run_depth_pass(const ShadeCorner corners[3]) {
    const ScreenPoint points[3] = {corners[0].position, corners[1].position, corners[2].position};
    const float depths[3] = {corners[0].depth, corners[1].depth, corners[2].depth};
    depth_triangle(points, depths, global_frame_target());
}

bool inside(const ClipBand& band, int pixel) {
    const int x = pixel % bench.width, y = pixel / bench.width;
    return y >= band.first_row && y < band.end_row && x >= band.first_column && x < band.end_column;
}

std::size_t pixel_count() { return std::size_t{frame_width} * frame_height; }

// Wild values: memory and undefined behaviour, the depth buffer's contents,
// and what shading may change.
void wild_run(const Face& face, const ClipBand& extra_band) {
    ShadeCorner corners[3];
    make_corners(face, false, false, corners);
    const std::size_t count = pixel_count();

    clear_buffers();
    for (std::size_t i = 0; i < count; ++i) frame_buffer[i] = fourth_byte_marker;
    run_depth_pass(corners);
    for (std::size_t i = 0; i < count; ++i) {
        // Only strictly nearer depths enter a fresh buffer.
        if (!(depth_buffer[i] < far_depth() || std::bit_cast<std::uint32_t>(depth_buffer[i]) == far_depth_bits))
            fail("the depth pass stored a NaN or a depth beyond the far depth", static_cast<int>(i));
    }
    std::memcpy(bench.depth_copy.data(), depth_buffer, count * sizeof(float));

    shade_triangle(corners, target_for(worker_band(0), texture));
    shade_triangle(corners, target_for(worker_band(1), texture));
    for (std::size_t i = 0; i < count; ++i)
        if ((frame_buffer[i] & 0xFF000000u) != fourth_byte_marker)
            fail("shading changed a pixel's fourth byte", static_cast<int>(i));

    std::memcpy(bench.frame_copy.data(), frame_buffer, count * sizeof(std::uint32_t));
    shade_triangle(corners, target_for(extra_band, bench.texture_copy));
    for (std::size_t i = 0; i < count; ++i) {
        if (!inside(extra_band, static_cast<int>(i)) && frame_buffer[i] != bench.frame_copy[i])
            fail("shading changed a pixel outside its band", static_cast<int>(i));
        if ((frame_buffer[i] & 0xFF000000u) != fourth_byte_marker)
            fail("shading changed a pixel's fourth byte", static_cast<int>(i));
    }
    if (std::memcmp(bench.depth_copy.data(), depth_buffer, count * sizeof(float)) != 0)
        fail("shading changed the depth buffer", -1);
}

// Sane values on the same corners: depth 0, normal (0, 0, -1), a white
// texture. Every pixel the face covers then gets a non-zero colour, so the
// pixels the depth pass wrote and the pixels shading changed must be the same.
void coverage_run(const Face& face, const ClipBand& extra_band) {
    ShadeCorner corners[3];
    make_corners(face, true, true, corners);
    const std::size_t count = pixel_count();

    clear_buffers();
    run_depth_pass(corners);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t b = std::bit_cast<std::uint32_t>(depth_buffer[i]);
        if (b != far_depth_bits && b != 0u) fail("a face at depth 0 wrote a depth other than 0", static_cast<int>(i));
        bench.covered[i] = b != far_depth_bits;
    }

    shade_triangle(corners, target_for(worker_band(0), bench.white_texture));
    shade_triangle(corners, target_for(worker_band(1), bench.white_texture));
    for (std::size_t i = 0; i < count; ++i) {
        const bool shaded = frame_buffer[i] != 0;
        if (shaded && !bench.covered[i]) fail("shading drew a pixel that the depth pass left out", static_cast<int>(i));
        if (!shaded && bench.covered[i])
            fail("shading left out a pixel that the depth pass wrote", static_cast<int>(i));
        // The face's own depth 0 is the stored depth: front-most, once.
        if (shaded && frame_buffer[i] != bench.front_colour)
            fail("a pixel was shaded more than once, or missed its front-most depth", static_cast<int>(i));
    }

    std::memset(frame_buffer, 0, count * sizeof(std::uint32_t));
    shade_triangle(corners, target_for(extra_band, bench.white_texture));
    for (std::size_t i = 0; i < count; ++i) {
        const bool shaded = frame_buffer[i] != 0;
        const bool expected = bench.covered[i] && inside(extra_band, static_cast<int>(i));
        if (shaded != expected)
            fail(shaded ? "shading in a band drew a pixel that the depth pass left out or that lies outside the band"
                        : "shading in a band left out a pixel that the depth pass wrote",
                 static_cast<int>(i));
        if (shaded && frame_buffer[i] != bench.front_colour)
            fail("a pixel was shaded more than once in a band", static_cast<int>(i));
    }
}

// Wild depths with the sane normal and texture: wherever the depth pass stored
// a depth, shading must compute that same depth there and so find the pixel
// front-most, unless the depth is so large that the tolerance vanishes in
// rounding.
void front_most_run(const Face& face) {
    ShadeCorner corners[3];
    make_corners(face, false, true, corners);
    const std::size_t count = pixel_count();

    clear_buffers();
    run_depth_pass(corners);
    shade_triangle(corners, target_for(worker_band(0), bench.white_texture));
    shade_triangle(corners, target_for(worker_band(1), bench.white_texture));
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t colour = frame_buffer[i];
        if (colour != 0 && colour != bench.front_colour && colour != bench.back_colour)
            fail("a pixel was shaded more than once", static_cast<int>(i));
        const float stored = depth_buffer[i];
        if (std::bit_cast<std::uint32_t>(stored) == far_depth_bits) continue;
        if (colour == 0) fail("shading left out a pixel that the depth pass wrote", static_cast<int>(i));
        if (std::fabs(stored) < largest_checked_depth && colour != bench.front_colour)
            fail("the face missed its own depth at a pixel: the passes' depths differ", static_cast<int>(i));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    initialise();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const FrameChoice& choice = frame_choices[in.byte() % std::size(frame_choices)];
    use_frame(choice);

    std::int32_t band_value[4];
    for (int k = 0; k < 4; ++k) band_value[k] = in.byte() % ((k < 2 ? choice.height : choice.width) + 1);
    ClipBand band{std::min(band_value[0], band_value[1]), std::max(band_value[0], band_value[1]),
                  std::min(band_value[2], band_value[3]), std::max(band_value[2], band_value[3])};

    Face face{};
    for (int n = 0; n < 3; ++n) {
        face.x[n] = decode_coordinate(in, choice.width, face.x, n, true);
        face.y[n] = decode_coordinate(in, choice.height, face.y, n, false);
        face.depth[n] = decode_depth(in, face.depth, n);
        face.normal[n] = decode_normal(in);
    }
    current_face = &face;
    wild_run(face, band);
    coverage_run(face, band);
    front_most_run(face);
    current_face = nullptr;
    return 0;
}
