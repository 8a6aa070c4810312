// The shading model of one pixel of one face, inlined into the span walk.
// Four-lane single precision throughout; colour lanes are blue, green, red
// and a fourth lane, the byte order of a frame-buffer pixel.
#pragma once

#include <algorithm>
#include <cstdint>

#include "scene/estimates.h"
#include "scene/scene_data.h"
#include "scene/simd.h"

namespace shading_detail {

inline __m128 load(const Vec4& v) { return _mm_load_ps(v.lane); }

inline __m128 broadcast(__m128 v, int lane) {
    switch (lane) {
        case 0: return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 0, 0, 0));
        case 1: return _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 1, 1, 1));
        case 2: return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 2, 2, 2));
        default: return _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3));
    }
}

// (a0 b0 + a1 b1) + (a2 b2 + a3 b3) in every lane, by two horizontal adds.
inline __m128 dot4(__m128 a, __m128 b) {
    const __m128 products = _mm_mul_ps(a, b);
    const __m128 pair_sums = _mm_hadd_ps(products, products);
    return _mm_hadd_ps(pair_sums, pair_sums);
}

// 1 / sqrt(s) in every lane: the processor's estimate (x86), or a square
// root and a division, each rounded (ieee). A processor without the x86
// estimates has only ieee.
template <Estimates E> inline __m128 reciprocal_square_root(__m128 s) {
    static_assert(E == Estimates::ieee || x86_estimates_available, "no x86 estimates on this processor");
#if OMBRASTEL_X86
    if constexpr (E == Estimates::x86) return _mm_rsqrt_ps(s);
#endif
    return _mm_div_ps(_mm_set1_ps(1.0f), _mm_sqrt_ps(s));
}

// The four bytes of a texel as four floats.
inline __m128 texel_lo(__m128i two_texels) {
    const __m128i words = _mm_unpacklo_epi8(two_texels, _mm_setzero_si128());
    return _mm_cvtepi32_ps(_mm_unpacklo_epi16(words, _mm_setzero_si128()));
}
inline __m128 texel_hi(__m128i two_texels) {
    const __m128i words = _mm_unpacklo_epi8(two_texels, _mm_setzero_si128());
    return _mm_cvtepi32_ps(_mm_unpackhi_epi16(words, _mm_setzero_si128()));
}

}  // namespace shading_detail

// The bilinear filter: the texture value (blue, green, red, fourth byte) at
// a clamped texel position, from the 2 x 2 footprint at (column, row) with
// the weights (1-fu)(1-fv), fu(1-fv), (1-fu)fv, fu fv.
inline __m128 texture_filter(const std::uint32_t* texels, int column, int row, __m128 fractions) {
    using namespace shading_detail;
    const __m128 complements = _mm_sub_ps(load(one_vector), fractions);  // 1-fu, 1-fv
    const __m128 u_weights = _mm_unpacklo_ps(complements, fractions);    // 1-fu, fu, 1-fv, fv
    const __m128 horizontal = _mm_movelh_ps(u_weights, u_weights);       // 1-fu, fu, 1-fu, fu
    const __m128 vertical = _mm_shuffle_ps(u_weights, u_weights, _MM_SHUFFLE(3, 3, 2, 2));
    const __m128 weights = _mm_mul_ps(horizontal, vertical);  // w00, w10, w01, w11

    const std::uint32_t* footprint = texels + row * texture_size + column;
    const __m128i upper = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(footprint));
    const __m128i lower = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(footprint + texture_size));
    const __m128 upper_pair = _mm_add_ps(_mm_mul_ps(broadcast(weights, 0), texel_lo(upper)),
                                         _mm_mul_ps(broadcast(weights, 1), texel_hi(upper)));
    const __m128 lower_pair = _mm_add_ps(_mm_mul_ps(broadcast(weights, 2), texel_lo(lower)),
                                         _mm_mul_ps(broadcast(weights, 3), texel_hi(lower)));
    return _mm_add_ps(upper_pair, lower_pair);
}

// Where the filter samples for texture coordinates (u, v in lanes 0 and 1):
// the footprint's column and row and the fractions (fu, fv in lanes 0 and 1).
struct TexelPosition {
    int column, row;
    __m128 fractions;
};

inline TexelPosition texel_position(__m128 attributes) {
    // The upper clamp keeps the 2 x 2 footprint inside the texture; the
    // coordinates stay above -1, so truncation gives 0 or more.
    const __m128 clamped = _mm_min_ps(attributes, shading_detail::load(texel_clamp));
    const __m128i index = _mm_cvttps_epi32(clamped);
    // The guard never acts on coordinates the walk produces; it only keeps a
    // stray value from reading before the texture.
    return {std::max(_mm_cvtsi128_si32(index), 0), std::max(_mm_cvtsi128_si32(_mm_srli_si128(index, 4)), 0),
            _mm_sub_ps(clamped, _mm_cvtepi32_ps(index))};
}

// Adds the lit, textured colour of one pixel into *pixel.
//   normal:       interpolated normal (x, y, z, 0), not of unit length
//   attributes:   u, v (texels), the pixel's own depth, a spare lane
//   stored_depth: the nearest depth of all faces at this pixel
//   texels:       the 128 x 128 texture
// Only a front-most pixel, whose stored depth lies in (own - 1.1, own + 1.1],
// receives the lights' specular colours. E: the arithmetic of the normal's
// reciprocal square root.
template <Estimates E = default_estimates> inline void shade_pixel(__m128 normal, __m128 attributes, float stored_depth,
                                                                   std::uint32_t* pixel, const std::uint32_t* texels) {
    using namespace shading_detail;

    // 1. Unit normal, to about 12 bits with the estimate: good enough for a
    //    colour that ends in 8 bits.
    const __m128 length_squared = dot4(normal, normal);
    const __m128 unit_normal = _mm_mul_ps(normal, reciprocal_square_root<E>(length_squared));

    // 2. Texture position.
    const TexelPosition sample = texel_position(attributes);

    // 3. Front-most test, in every lane; false when either depth is NaN.
    const __m128 own_depth = broadcast(attributes, 2);
    const __m128 tolerance = _mm_set1_ps(depth_tolerance);
    const __m128 stored = _mm_set1_ps(stored_depth);
    const __m128 front_most = _mm_and_ps(_mm_cmplt_ps(_mm_sub_ps(own_depth, tolerance), stored),
                                         _mm_cmple_ps(stored, _mm_add_ps(own_depth, tolerance)));

    // 4. Lights: in each channel the brightest of the three wins. The three
    //    cosines come out of one set of horizontal adds, each still summed
    //    as (x x' + y y') + (z z' + w w'), and are raised to the 16th power
    //    together; every light then takes its own lane.
    const __m128 products_0 = _mm_mul_ps(unit_normal, load(lights[0].direction));
    const __m128 products_1 = _mm_mul_ps(unit_normal, load(lights[1].direction));
    const __m128 products_2 = _mm_mul_ps(unit_normal, load(lights[2].direction));
    const __m128 cosines = _mm_hadd_ps(_mm_hadd_ps(products_0, products_1), _mm_hadd_ps(products_2, products_2));
    // Not clamped: a light behind the surface gives the highlight of the
    // mirrored angle, on front-most pixels only.
    const __m128 k2 = _mm_mul_ps(cosines, cosines);
    const __m128 k4 = _mm_mul_ps(k2, k2);
    const __m128 k8 = _mm_mul_ps(k4, k4);
    const __m128 k16 = _mm_and_ps(_mm_mul_ps(k8, k8), front_most);
    const __m128 facing = _mm_max_ps(cosines, load(zero_vector));
    __m128 light = _mm_setzero_ps();
    for (int l = 0; l < light_count; ++l) {
        const LightRecord& source = lights[l];
        const __m128 specular = _mm_mul_ps(broadcast(k16, l), load(source.specular));
        const __m128 diffuse = _mm_mul_ps(broadcast(facing, l), load(source.diffuse));
        const __m128 value = _mm_add_ps(_mm_add_ps(specular, diffuse), load(source.ambient));
        light = _mm_max_ps(light, value);
    }
    light = _mm_min_ps(light, load(colour_clamp));

    // 5. Bilinear texture.
    const __m128 texture_value = texture_filter(texels, sample.column, sample.row, sample.fractions);

    // 6. Modulation: light times texture, rounded, divided by 256 rounding
    //    down; 255 x 255 / 256 rounds down to 254, so a channel never reaches 255.
    const __m128i modulated = _mm_srai_epi32(_mm_cvtps_epi32(_mm_mul_ps(light, texture_value)), 8);
    const __m128i words = _mm_packs_epi32(modulated, modulated);
    // The fourth byte of the pixel is never changed.
    const __m128i colour = _mm_and_si128(_mm_packus_epi16(words, words), _mm_cvtsi32_si128(0x00FFFFFF));

    // 7. Saturating addition: faces add up, so hidden faces show through.
    const __m128i sum = _mm_adds_epu8(_mm_cvtsi32_si128(static_cast<int>(*pixel)), colour);
    *pixel = static_cast<std::uint32_t>(_mm_cvtsi128_si32(sum));
}
