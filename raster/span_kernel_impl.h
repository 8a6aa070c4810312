// The span kernels' algorithm, written once over a lane type; each
// instruction set's file defines its lane type (in an unnamed namespace, so
// that nothing compiled with one set's flags can be linked in for another)
// and instantiates these templates. Include it from those files only.
//
// A group is W pixels, one per lane: every value below is a vector of W
// pixels' values, and every operation is the one the per-pixel routine
// (raster/shade_pixel.h) applies to that value, in the same order, so each
// lane's bits equal that routine's. A lane type chooses how a group is made:
//   pixels in lanes  W neighbouring pixels of one run; each pixel's values
//                    are stepped as four-lane vectors, then transposed
//                    into one vector per component (PixelChain; four-lane
//                    types only)
//   runs in lanes    one pixel of each of W runs that share no pixel; each
//                    component is stepped for all runs with one vector
//                    addition, and W groups make a block of W pixels of
//                    every run, whose stored depths are transposed once on
//                    the way in and whose colours once on the way out
//
// A lane type L provides:
//   width                                 pixels per group, W
//   F, I                                  W floats, W 32-bit integers
//   splat(float)
//   add, sub, mul(F, F)                   single precision, rounded to nearest
//   min, max(F, F)                        the processor's rules: the second
//                                         operand when either is NaN or both
//                                         are zero
//   bits_and(F, F)                        bitwise
//   any(F)                                whether any lane has its bits set
//   less, less_equal(F, F)                ordered: all bits set or clear in
//                                         each lane (an F), or, in a lane type
//                                         with a mask type M of its own, an M
//   bits_or(F, F), no_bits(F)             runs in lanes only: bitwise or, and
//                                         whether no lane has a bit set
//   M, both(M, M), zero_unless(F, M)      optional: the mask type, the lanes
//                                         set in both, the value where the
//                                         mask is set and +0.0 elsewhere
//   rsqrt(F)                              the four-lane estimate's bits (x86
//                                         lane types, for the x86 estimates)
//   sqrt(F), div(F, F)                    rounded to nearest (IEEE 754)
//   truncate(F), round(F), to_float(I)    conversions (round: to nearest even)
//   texel_footprint(u, v, fu&, fv&),      optional: texel_footprint's and
//   channel_value(F)                      channel_value's results (below),
//                                         the lane type's own way
//   max_zero(I)                           to 0..
//   byte<c>(I)                            byte c of each lane, zero-extended
//   pack_colour(I b, I g, I r)            each limited to 0..255, b in byte 0,
//                                         g in byte 1, r in byte 2, byte 3 zero
//   int_add(I, I)
//   shift_left<n>, shift_right_signed<n>(I)
//   footprints(texels, I index, I texel[4])
//                                         the 2 x 2 texels from each index:
//                                         (i, j), (i+1, j), (i, j+1), (i+1, j+1)
//   numbered_footprints(NumberedTexture, I index, F channel[4][3])
//                                         optional: the same texels' blue,
//                                         green and red as floats, looked up
//                                         by their colours' numbers
//   add_saturated_bytes(I, I)
//   transpose(F[W])                       lane k of vector i to lane i of vector k
//   as_float(I), as_int(F)                the same bits
//   load, store(float*)                   W aligned floats
//   store_nearer_depths(float*, F, n)     the first n of W depths, each where
//                                         strictly nearer
//   load_depths(const float*, n), load_pixels(const uint32_t*, n),
//   store_pixels(uint32_t*, I, n)         n <= W elements
//   runs_in_lanes                         which way a group is made
//   lanes_meeting(at, end, first, last)   runs in lanes only, over W lanes'
//                                         pixels [at[j], end[j]) (unsigned,
//                                         aligned): a bit for each lane whose
//                                         pixels meet [first, last)
//   advance_lanes(at, end)                each at[j] W further; where that
//                                         reaches end[j], both become 0, and
//                                         a bit for each such lane
//   block_pixels(at, end, int n[W])       n[j] = min(end[j] - at[j], W), and
//                                         the largest n[j]
//
// Everything here is a template over L, and each L lives in its file's
// unnamed namespace: no function compiled with one set's flags can be chosen
// by the linker for another set's file.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "raster/span_kernels.h"
#include "scene/estimates.h"
#include "scene/scene_data.h"

namespace span_kernel {

// The stepped values of W pixels, one component per vector.
template <class L> struct Pixels {
    typename L::F normal_x, normal_y, normal_z, normal_w;
    typename L::F u, v, depth;
};

// The scene's shading constants, each lane holding the same value.
template <class L> struct ShadingConstants {
    using F = typename L::F;
    F tolerance, texel_limit, colour_limit, zero, one;
    F direction[light_count][4];  // x, y, z, w
    // blue, green, red
    F diffuse[light_count][3];
    F ambient[light_count][3];
    F specular[light_count][3];
    bool specular_finite = true;  // no specular colour is infinite or NaN
    // The lights as prepared: every light's direction has the same fourth
    // lane (0), no colour of the first light is negative, -0.0 or NaN, and
    // the zero is 0. The shorter ways of shade_pixels rest on it.
    bool usual_lights = true;
    // No colour of any light is negative or NaN, the light's limit is 0 to
    // 256, the texel limit is within 2^21 of 0, the zero is 0 and the one 1:
    // with the texture positions of a run within 2^22 of 0, every modulated
    // value is then finite and less than 2^22 in magnitude (shade_pixels'
    // `bounded`).
    bool bounded_modulation = true;

    ShadingConstants() {
        tolerance = L::splat(depth_tolerance);
        texel_limit = L::splat(texel_clamp.lane[0]);
        colour_limit = L::splat(colour_clamp.lane[0]);
        zero = L::splat(zero_vector.lane[0]);
        one = L::splat(one_vector.lane[0]);
        if (zero_vector.lane[0] != 0.0f) usual_lights = false;
        bounded_modulation = std::bit_cast<std::uint32_t>(zero_vector.lane[0]) == 0 && one_vector.lane[0] == 1.0f &&
                             colour_clamp.lane[0] >= 0.0f && colour_clamp.lane[0] <= 256.0f &&
                             std::fabs(texel_clamp.lane[0]) <= 2097152.0f;
        for (int l = 0; l < light_count; ++l) {
            for (int c = 0; c < 4; ++c) direction[l][c] = L::splat(lights[l].direction.lane[c]);
            if (std::bit_cast<std::uint32_t>(lights[l].direction.lane[3]) !=
                std::bit_cast<std::uint32_t>(lights[0].direction.lane[3]))
                usual_lights = false;
            for (int c = 0; c < 3; ++c) {
                diffuse[l][c] = L::splat(lights[l].diffuse.lane[c]);
                ambient[l][c] = L::splat(lights[l].ambient.lane[c]);
                specular[l][c] = L::splat(lights[l].specular.lane[c]);
                const float colour = lights[l].specular.lane[c];
                if (!(colour - colour == 0.0f)) specular_finite = false;
                for (const float any_light :
                     {lights[l].ambient.lane[c], lights[l].diffuse.lane[c], lights[l].specular.lane[c]})
                    if (!(any_light >= 0.0f)) bounded_modulation = false;
                for (const float first_light :
                     {lights[0].ambient.lane[c], lights[0].diffuse.lane[c], lights[0].specular.lane[c]})
                    if (!(first_light >= 0.0f) || std::signbit(first_light)) usual_lights = false;
            }
        }
    }
};

// The comparisons' results: the lane type's own mask type where it has one,
// else all bits set or clear in the lanes of an F.
template <class L> struct MaskType { using type = typename L::F; };
template <class L>
requires requires { typename L::M; }
struct MaskType<L> {
    using type = typename L::M;
};

template <class L> typename MaskType<L>::type both(typename MaskType<L>::type a, typename MaskType<L>::type b) {
    if constexpr (requires { typename L::M; })
        return L::both(a, b);
    else
        return L::bits_and(a, b);
}

// The value in the lanes the mask sets, +0.0 (no bit set) in the others.
template <class L> typename L::F zero_unless(typename L::F value, typename MaskType<L>::type mask) {
    if constexpr (requires { typename L::M; })
        return L::zero_unless(value, mask);
    else
        return L::bits_and(value, mask);
}

// 1 / sqrt(s) per lane: the four-lane estimate's bits (x86), or a square
// root and a division, each rounded (ieee).
template <class L, Estimates E> typename L::F reciprocal_square_root(typename L::F s) {
    if constexpr (E == Estimates::x86)
        return L::rsqrt(s);
    else
        return L::div(L::splat(1.0f), L::sqrt(s));
}

// One texel byte (blue, green or red) of W texels, as floats.
template <class L, int channel> typename L::F texel_channel(typename L::I texels) {
    return L::to_float(L::template byte<channel>(texels));
}

// The texture position of W pixels from u and v clamped above to the texel
// limit (124, so never a NaN: the clamp gives the limit for one): the index
// of each footprint's first texel, row * 128 + column, each truncated and
// at least 0, and the fractions, taken from the unguarded truncations.
//
// bounded: u and v are within 2^22 of 0 (as for shade_pixels).
template <class L, bool bounded = false>
typename L::I texel_footprint(typename L::F u, typename L::F v, typename L::F& fraction_u, typename L::F& fraction_v) {
    if constexpr (requires { L::template texel_footprint<bounded>(u, v, fraction_u, fraction_v); }) {
        return L::template texel_footprint<bounded>(u, v, fraction_u, fraction_v);
    } else {
        const typename L::I column = L::truncate(u);
        const typename L::I row = L::truncate(v);
        fraction_u = L::sub(u, L::to_float(column));
        fraction_v = L::sub(v, L::to_float(row));
        return L::int_add(L::template shift_left<7>(L::max_zero(row)), L::max_zero(column));
    }
}

// A channel's modulated value, rounded and divided by 256 rounding down, as
// pack_colour then limits it to a byte. A lane type's own channel_value may
// give other integers wherever pack_colour makes them the same byte.
//
// bounded: the value is finite and less than 2^22 in magnitude.
template <class L, bool bounded = false> typename L::I channel_value(typename L::F modulated) {
    if constexpr (requires { L::template channel_value<bounded>(modulated); })
        return L::template channel_value<bounded>(modulated);
    else
        return L::template shift_right_signed<8>(L::round(modulated));
}

// Whether the normals' fourth lane is +0.0 in every pixel of runs whose
// values and steps hold it there (every run the walk makes), so that
// shade_pixels may take the shorter way (usual below).
inline bool zero_w_lane(std::uint32_t value_bits, std::uint32_t step_bits) { return (value_bits | step_bits) == 0; }

// 1. Unit normal, its scale: (x x + y y) + (z z + w w), and its reciprocal
//    square root (usual: as for shade_pixels). Both loops below make it a
//    group ahead of the one they shade.
template <class L, Estimates E, bool usual = false>
typename L::F normal_scale(typename L::F x, typename L::F y, typename L::F z, typename L::F w) {
    const typename L::F xy_squared = L::add(L::mul(x, x), L::mul(y, y));
    return reciprocal_square_root<L, E>(usual ? L::add(xy_squared, L::mul(z, z))
                                              : L::add(xy_squared, L::add(L::mul(z, z), L::mul(w, w))));
}

// The colours W pixels add into the frame buffer: blue, green and red bytes,
// the fourth byte zero.
//
// usual: the normals' fourth lane is +0.0 in every lane, and the lights are
// the usual ones (ShadingConstants::usual_lights). Then w w is +0.0, and
// z z + (+0.0) is z z (a square is never -0.0; a NaN stays a NaN); the
// fourth lane's term of every light's cosine, the unit normal's fourth lane
// times the shared lane, is one and the same, so it is made once; and the
// first light's value in each channel is at least +0.0 or a NaN (a masked
// power or a maximum with +0.0, times colours of at least +0.0, plus one),
// so that the maximum of +0.0 and it (the second operand, where it is a NaN
// or +0.0) is the value itself. Both ways give the same bits.
//
// scale: the normals' scale (normal_scale), which a caller may make ahead,
// so that its square root need not lie at the head of the longest chain of
// the pixels' arithmetic.
//
// bounded: ShadingConstants::bounded_modulation holds, and u and v are
// within 2^22 of 0. Then each fraction of the texture position lies within
// (-1, 1), the four weights' magnitudes sum to less than 9, and a texture
// channel is less than 9 * 255 in magnitude; each light is 0 to 256 (the
// brightest of values of at least +0.0 or NaN, limited, a NaN giving the
// limit); so each modulated value is finite and less than 2^22 in
// magnitude, which the lane type's conversions may rely on.
//
// numbered: the texture's colours are looked up by number
// (buffers.numbered, L::numbered_footprints) instead of taken apart from the
// texels' bytes: the same floats.
//
// Always inlined into the group loops, which the compiler had once left a
// call to it in (the AVX-512 kernel's numbered way): around a call every
// vector the loop keeps in a register is stored and loaded again, and the
// pixel budget counts the loop's own instructions.
template <class L, Estimates E, bool usual = false, bool bounded = false, bool numbered = false>
[[gnu::always_inline]] inline typename L::I shade_pixels(const Pixels<L>& p, typename L::F scale,
                                                         typename L::F stored_depth, const ShadingConstants<L>& c,
                                                         const RunBuffers& buffers) {
    using F = typename L::F;
    using I = typename L::I;

    // 1. Unit normal: the normal times its scale.
    const F unit_x = L::mul(p.normal_x, scale);
    const F unit_y = L::mul(p.normal_y, scale);
    const F unit_z = L::mul(p.normal_z, scale);
    const F unit_w = L::mul(p.normal_w, scale);
    const F shared_w_term = usual ? L::mul(unit_w, c.direction[0][3]) : unit_w;

    // 2. Texture position: clamped above only, truncated; the fraction is
    //    taken from the unguarded index, the footprint from the guarded one.
    F fraction_u, fraction_v;
    const I footprint =
        texel_footprint<L, bounded>(L::min(p.u, c.texel_limit), L::min(p.v, c.texel_limit), fraction_u, fraction_v);

    // 3. Front-most: own depth - 1.1 < stored <= own depth + 1.1.
    const auto front_most = both<L>(L::less(L::sub(p.depth, c.tolerance), stored_depth),
                                    L::less_equal(stored_depth, L::add(p.depth, c.tolerance)));

    // 4. Lights: in each channel the brightest of the three wins. Where no
    //    pixel of the group is front-most, every specular term is a zero
    //    (the masked power times a finite colour), and adding a zero to the
    //    diffuse term changes at most the sign of a zero, which no later
    //    step can tell: the terms are then left out.
    const bool with_specular = !c.specular_finite || L::any(front_most);
    F light[3] = {c.zero, c.zero, c.zero};
    for (int l = 0; l < light_count; ++l) {
        const F* d = c.direction[l];
        const F cosine = L::add(L::add(L::mul(unit_x, d[0]), L::mul(unit_y, d[1])),
                                L::add(L::mul(unit_z, d[2]), usual ? shared_w_term : L::mul(unit_w, d[3])));
        const F facing = L::max(cosine, c.zero);
        if (with_specular) {
            const F k2 = L::mul(cosine, cosine);
            const F k4 = L::mul(k2, k2);
            const F k8 = L::mul(k4, k4);
            const F k16 = zero_unless<L>(L::mul(k8, k8), front_most);
            for (int channel = 0; channel < 3; ++channel) {
                const F value =
                    L::add(L::add(L::mul(k16, c.specular[l][channel]), L::mul(facing, c.diffuse[l][channel])),
                           c.ambient[l][channel]);
                light[channel] = usual && l == 0 ? value : L::max(light[channel], value);
            }
        } else {
            for (int channel = 0; channel < 3; ++channel) {
                const F value = L::add(L::mul(facing, c.diffuse[l][channel]), c.ambient[l][channel]);
                light[channel] = usual && l == 0 ? value : L::max(light[channel], value);
            }
        }
    }
    for (F& channel : light) channel = L::min(channel, c.colour_limit);

    // 5. Bilinear texture.
    const F complement_u = L::sub(c.one, fraction_u);
    const F complement_v = L::sub(c.one, fraction_v);
    const F weight_00 = L::mul(complement_u, complement_v);
    const F weight_10 = L::mul(fraction_u, complement_v);
    const F weight_01 = L::mul(complement_u, fraction_v);
    const F weight_11 = L::mul(fraction_u, fraction_v);
    // The four texels (00, 10, 01, 11): their words, each channel taken out
    // where the weighted sum needs it, or their channels looked up by
    // number.
    I texels[4];
    F looked_up[4][3];
    if constexpr (numbered)
        L::numbered_footprints(*buffers.numbered, footprint, looked_up);
    else
        L::footprints(buffers.texels, footprint, texels);
    auto texture_value = [&](auto channel_tag) {
        constexpr int channel = decltype(channel_tag)::value;
        auto texel = [&](int k) {
            if constexpr (numbered)
                return looked_up[k][channel];
            else
                return texel_channel<L, channel>(texels[k]);
        };
        return L::add(L::add(L::mul(weight_00, texel(0)), L::mul(weight_10, texel(1))),
                      L::add(L::mul(weight_01, texel(2)), L::mul(weight_11, texel(3))));
    };
    const F texture_blue = texture_value(std::integral_constant<int, 0>{});
    const F texture_green = texture_value(std::integral_constant<int, 1>{});
    const F texture_red = texture_value(std::integral_constant<int, 2>{});

    // 6. Modulation, rounded, divided by 256 rounding down, limited to a byte.
    const I blue = channel_value<L, bounded>(L::mul(light[0], texture_blue));
    const I green = channel_value<L, bounded>(L::mul(light[1], texture_green));
    const I red = channel_value<L, bounded>(L::mul(light[2], texture_red));
    return L::pack_colour(blue, green, red);
}

// Loads and stores of a group that may end short of W elements, for lane
// types without masked loads and stores: a short group, at the end of a
// run, goes through a copy, so that it neither reads nor writes past the
// run, whose next pixels may belong to another run or lie past the buffer's
// end. L provides the whole-group operations these are built from:
//   load(const float*), store(float*, F)    W aligned floats
//   load_unaligned(const float*), store_unaligned(float*, F)
//                                           W floats
//   load_words(const uint32_t*), store_words(uint32_t*, I)
//                                           W 32-bit words, unaligned
//   nearer(F depths, F stored)              each lane's depth where strictly
//                                           nearer, else the stored one
template <class L> typename L::F load_depths_through_copy(const float* source, int n) {
    if (n == L::width) return L::load_unaligned(source);
    alignas(64) float part[L::width] = {};
    for (int i = 0; i < n; ++i) part[i] = source[i];
    return L::load(part);
}

template <class L> typename L::I load_pixels_through_copy(const std::uint32_t* source, int n) {
    if (n == L::width) return L::load_words(source);
    std::uint32_t part[L::width] = {};
    for (int i = 0; i < n; ++i) part[i] = source[i];
    return L::load_words(part);
}

template <class L> void store_pixels_through_copy(std::uint32_t* destination, typename L::I pixels, int n) {
    if (n == L::width) {
        L::store_words(destination, pixels);
        return;
    }
    std::uint32_t part[L::width];
    L::store_words(part, pixels);
    for (int i = 0; i < n; ++i) destination[i] = part[i];
}

// A NaN is never nearer.
template <class L> void store_nearer_depths_through_copy(float* stored, typename L::F depths, int n) {
    if (n == L::width) {
        const float* source = stored;
        L::store_unaligned(stored, L::nearer(depths, L::load_unaligned(source)));
        return;
    }
    alignas(64) float part[L::width];
    L::store(part, depths);
    for (int i = 0; i < n; ++i)
        if (part[i] < stored[i]) stored[i] = part[i];
}

// Pixels in lanes: a run's values four pixels at a time. Each pixel's normal
// and attribute vector is the previous one's plus the step; then the four
// pixels are turned from one vector each into one vector per component.
template <class L> class PixelChain {
  public:
    static_assert(L::width == 4, "one pixel's four components fill one vector");
    using F = typename L::F;

    explicit PixelChain(const ShadeRun& run)
        : normal_(L::load(run.normal.lane)),
          normal_step_(L::load(run.normal_step.lane)),
          attributes_(L::load(run.attributes.lane)),
          attribute_step_(L::load(run.attribute_step.lane)) {}

    // The next four pixels' normals, one vector per component.
    void next_normals(Pixels<L>& p) {
        F n[4];
        step(normal_, normal_step_, n);
        p.normal_x = n[0];
        p.normal_y = n[1];
        p.normal_z = n[2];
        p.normal_w = n[3];
    }
    // The next four pixels' texture position and depth.
    void next_attributes(Pixels<L>& p) {
        F a[4];
        step(attributes_, attribute_step_, a);
        p.u = a[0];
        p.v = a[1];
        p.depth = a[2];
    }

  private:
    static void step(F& value, F value_step, F q[4]) {
        for (int k = 0; k < 4; ++k) {
            q[k] = value;
            value = L::add(value, value_step);
        }
        L::transpose(q);
    }

    F normal_, normal_step_, attributes_, attribute_step_;
};

// Whether a lane type's conversions take a shorter way where shade_pixels'
// values are `bounded`.
template <class L> constexpr bool has_bounded_conversions = requires(typename L::F value) {
    L::template channel_value<true>(value);
};

// Whether every texture position of a run's groups (its pixels and the lanes
// past its end in its last group) is within 2^22 of 0: the first within
// 2^20, the steps over the groups' length within 2^20 more, and each of the
// chain's additions rounding off less than a part in 2^24 of its sum, a few
// parts in a thousand over the longest run. False for a NaN.
template <class L> bool texture_positions_bounded(const ShadeRun& run) {
    constexpr float reach = 1048576.0f;  // 2^20
    const float pixels = static_cast<float>(run.count + L::width);
    for (int c = 0; c < 2; ++c)
        if (!(std::fabs(run.attributes.lane[c]) <= reach && std::fabs(run.attribute_step.lane[c]) * pixels <= reach))
            return false;
    return true;
}

// Pixels in lanes: each run in turn, W pixels a group.
template <class L, Estimates E>
void shade_runs_pixel_by_lane(const ShadeRun* runs, int count, const RunBuffers& buffers) {
    const ShadingConstants<L> constants;
    for (const ShadeRun* run = runs; run != runs + count; ++run) {
        auto shade_run = [&](auto usual_tag, auto bounded_tag) {
            PixelChain<L> chain(*run);
            std::uint32_t* pixels = buffers.frame + run->first;
            const float* stored = buffers.depth + run->first;
            constexpr bool usual = decltype(usual_tag)::value;
            constexpr bool bounded = decltype(bounded_tag)::value;
            auto scale_of = [](const Pixels<L>& p) {
                return normal_scale<L, E, usual>(p.normal_x, p.normal_y, p.normal_z, p.normal_w);
            };
            // A group's attributes are stepped as it is shaded, its normals a
            // group ahead: the fewer values held across a group, the fewer
            // the registers spilled.
            Pixels<L> values;
            chain.next_normals(values);
            typename L::F scale = scale_of(values);
            for (std::int32_t done = 0; done < run->count; done += L::width) {
                const int n = run->count - done < L::width ? run->count - done : L::width;
                chain.next_attributes(values);
                // As for runs in lanes, the next group's scale is made while
                // this group is shaded (after the run's last group, one that
                // is not used).
                Pixels<L> next;
                chain.next_normals(next);
                const typename L::F next_scale = scale_of(next);
                const typename L::I colour = shade_pixels<L, E, usual, bounded>(
                    values, scale, L::load_depths(stored + done, n), constants, buffers);
                values.normal_x = next.normal_x;
                values.normal_y = next.normal_y;
                values.normal_z = next.normal_z;
                values.normal_w = next.normal_w;
                scale = next_scale;
                // 7. Saturating addition; the fourth byte gets 0 added.
                L::store_pixels(pixels + done, L::add_saturated_bytes(L::load_pixels(pixels + done, n), colour), n);
            }
        };
        // The bounded way, where it differs, only beside the usual one: every
        // run of the scene's faces takes both.
        if (constants.usual_lights && zero_w_lane(std::bit_cast<std::uint32_t>(run->normal.lane[3]),
                                                  std::bit_cast<std::uint32_t>(run->normal_step.lane[3]))) {
            if constexpr (has_bounded_conversions<L>) {
                if (constants.bounded_modulation && texture_positions_bounded<L>(*run)) {
                    shade_run(std::true_type{}, std::true_type{});
                    continue;
                }
            }
            shade_run(std::true_type{}, std::false_type{});
        } else {
            shade_run(std::false_type{}, std::false_type{});
        }
    }
}

// Whether a lane type looks the texture's colours up by number.
template <class L> constexpr bool has_numbered_footprints = requires(const NumberedTexture& numbered,
                                                                     typename L::I index, typename L::F channel[4][3]) {
    L::numbered_footprints(numbered, index, channel);
};

// Whether two runs share a pixel. (A template, as everything here, so that
// each instruction set's file has its own copy.)
template <class L> bool share_a_pixel(const ShadeRun& a, const ShadeRun& b) {
    return a.first < b.first + static_cast<std::uint32_t>(b.count) &&
           b.first < a.first + static_cast<std::uint32_t>(a.count);
}

// Runs in lanes: up to W runs at once, one a lane, whose pixels still to be
// shaded meet no other lane's, so that a block's loads and stores of
// different lanes never meet. Each lane keeps the pixels of its run still to
// be shaded, [at, end), and the values of C components at `at`; a lane whose
// run has ended takes the next run at the start of a block. A run that meets
// one still in a lane waits, and later runs may pass it: saturating additions
// of non-negative amounts give the same bytes in any order.
template <class L, int C> class RunLanes {
  public:
    static constexpr int W = L::width;
    static constexpr std::uint32_t all_lanes = (1u << W) - 1u;
    static_assert(2 * W + 1 <= 64, "the waiting runs looked at fit the started mask");

    // component(run, c, &value, &step): the c-th component's first value and
    // step.
    template <class Component> RunLanes(const ShadeRun* runs, int count, Component component)
        : runs_(runs), count_(count) {
        for (int j = 0; j < W; ++j) {
            at_[j] = end_[j] = 0;
            for (int c = 0; c < C; ++c) value_[c][j] = step_[c][j] = 0.0f;
        }
        take_runs(all_lanes, component);
    }

    // After a block: every lane is W pixels further on. Gives idle lanes the
    // next runs that may start; false when no lane has a run left.
    template <class Component> bool next_block(Component component) {
        std::uint32_t idle = L::advance_lanes(at_, end_);
        if (idle && first_waiting_ < count_) idle = take_runs(idle, component);
        return idle != all_lanes;
    }

    // Each lane's pixels in this block, 0 to W, into n; returns the most.
    int block_pixels(int n[W]) const { return L::block_pixels(at_, end_, n); }
    std::uint32_t at(int lane) const { return at_[lane]; }
    float* values(int c) { return value_[c]; }
    const float* steps(int c) const { return step_[c]; }

  private:
    // Puts startable runs into the idle lanes, in run order; returns the
    // lanes still idle. The runs looked at are the first waiting one and the
    // 2W after it: enough to fill the lanes, few enough to keep the search
    // cheap.
    template <class Component> std::uint32_t take_runs(std::uint32_t idle, Component component) {
        constexpr int window = 2 * W + 1;
        const int limit = count_ - first_waiting_ < window ? count_ - first_waiting_ : window;
        for (int offset = 0; offset < limit && idle; ++offset) {
            if (started_ >> offset & 1u) continue;
            const ShadeRun& run = runs_[first_waiting_ + offset];
            const std::uint32_t end = run.first + static_cast<std::uint32_t>(run.count);
            if (L::lanes_meeting(at_, end_, run.first, end)) continue;
            const int j = std::countr_zero(idle);
            idle &= idle - 1u;
            started_ |= std::uint64_t{1} << offset;
            at_[j] = run.first;
            end_[j] = end;
            for (int c = 0; c < C; ++c) component(run, c, &value_[c][j], &step_[c][j]);
        }
        while (started_ & 1u) {
            started_ >>= 1;
            ++first_waiting_;
        }
        return idle;
    }

    const ShadeRun* runs_;
    int count_;
    int first_waiting_ = 0;
    std::uint64_t started_ = 0;  // bit k: run first_waiting_ + k has started
    alignas(64) std::uint32_t at_[W];
    alignas(64) std::uint32_t end_[W];
    alignas(64) float value_[C][W];
    alignas(64) float step_[C][W];
};

// Runs in lanes: blocks of W groups. The stored depths of every lane's next
// W pixels are loaded a run at a time and transposed, so that group k
// holds every run's k-th; the colours of the W groups are transposed back
// and added a run at a time.
template <class L, Estimates E>
void shade_runs_run_by_lane(const ShadeRun* runs, int count, const RunBuffers& buffers) {
    using F = typename L::F;
    constexpr int W = L::width;
    const ShadingConstants<L> constants;
    // normal x, y, z, w; u, v, depth
    auto component = [](const ShadeRun& run, int c, float* value, float* step) {
        *value = c < 4 ? run.normal.lane[c] : run.attributes.lane[c - 4];
        *step = c < 4 ? run.normal_step.lane[c] : run.attribute_step.lane[c - 4];
    };
    RunLanes<L, 7> lanes(runs, count, component);
    do {
        F chain[7], step[7];
        for (int c = 0; c < 7; ++c) {
            chain[c] = L::load(lanes.values(c));
            step[c] = L::load(lanes.steps(c));
        }
        // Each lane's pixels in this block. An idle lane loads nothing (its
        // depths are zeros) and stores nothing: what its groups compute is
        // never used, and its lanes cannot change another lane's bits.
        alignas(64) int n[W];
        const int groups = lanes.block_pixels(n);
        F block[W];
        for (int j = 0; j < W; ++j) block[j] = L::load_depths(buffers.depth + lanes.at(j), n[j]);
        L::transpose(block);
        auto shade_groups = [&](auto usual_tag, auto numbered_tag) {
            constexpr bool usual = decltype(usual_tag)::value;
            constexpr bool numbered = decltype(numbered_tag)::value;
            F scale = normal_scale<L, E, usual>(chain[0], chain[1], chain[2], chain[3]);
            for (int k = 0; k < groups; ++k) {
                const Pixels<L> values{chain[0], chain[1], chain[2], chain[3], chain[4], chain[5], chain[6]};
                // The next group's values, and its normals' scale made
                // while this group is shaded: each group's square root
                // then waits for no other part of its arithmetic. (After
                // the block's last group one is made that is not used.)
                // The fourth lane of the normals stays +0.0 when it is.
                for (int c = 0; c < 7; ++c)
                    if (!usual || c != 3) chain[c] = L::add(chain[c], step[c]);
                const F next_scale = normal_scale<L, E, usual>(chain[0], chain[1], chain[2], chain[3]);
                block[k] = L::as_float(
                    shade_pixels<L, E, usual, false, numbered>(values, scale, block[k], constants, buffers));
                scale = next_scale;
            }
        };
        const bool usual = constants.usual_lights && L::no_bits(L::bits_or(chain[3], step[3]));
        auto shade_either_way = [&](auto numbered_tag) {
            if (usual)
                shade_groups(std::true_type{}, numbered_tag);
            else
                shade_groups(std::false_type{}, numbered_tag);
        };
        if constexpr (has_numbered_footprints<L>) {
            if (buffers.numbered)
                shade_either_way(std::true_type{});
            else
                shade_either_way(std::false_type{});
        } else {
            shade_either_way(std::false_type{});
        }
        L::transpose(block);
        // 7. Saturating addition; the fourth byte gets 0 added.
        for (int j = 0; j < W; ++j) {
            if (!n[j]) continue;
            std::uint32_t* pixels = buffers.frame + lanes.at(j);
            L::store_pixels(pixels, L::add_saturated_bytes(L::load_pixels(pixels, n[j]), L::as_int(block[j])), n[j]);
        }
        for (int c = 0; c < 7; ++c) L::store(lanes.values(c), chain[c]);
    } while (lanes.next_block(component));
}

template <class L, Estimates E> void shade_runs(const ShadeRun* runs, int count, const RunBuffers& buffers) {
    if (count <= 0) return;
    if constexpr (L::runs_in_lanes)
        shade_runs_run_by_lane<L, E>(runs, count, buffers);
    else
        shade_runs_pixel_by_lane<L, E>(runs, count, buffers);
}

// The depth pre-pass: up to W runs that share no pixel, one to a lane. A
// run's depth chain is serial, each depth the one before plus the step,
// rounded; one vector addition steps every run's chain at once, W steps
// make a block of W depths of each run, and transposed, each run's
// depths are stored with one comparison: a depth replaces the stored one
// only when strictly nearer, as pixel by pixel, so a NaN never enters. The
// blocks go on until the longest run ends; a run's last block stores only
// what is left of it.
template <class L> void store_depth_block(const ShadeRun* runs, int batch, float* depth) {
    using F = typename L::F;
    constexpr int W = L::width;
    alignas(64) float start[W] = {}, step[W] = {};
    std::int32_t longest = 0;
    for (int j = 0; j < batch; ++j) {
        start[j] = runs[j].attributes.lane[2];
        step[j] = runs[j].attribute_step.lane[2];
        longest = runs[j].count > longest ? runs[j].count : longest;
    }
    F z = L::load(start);
    const F dz = L::load(step);
    for (std::int32_t done = 0; done < longest; done += W) {
        F block[W];
        for (F& depths : block) {
            depths = z;
            z = L::add(z, dz);
        }
        L::transpose(block);
        for (int j = 0; j < batch; ++j) {
            const std::int32_t left = runs[j].count - done;
            if (left >= W)
                L::store_nearer_depths(depth + runs[j].first + done, block[j], W);
            else if (left > 0)
                L::store_nearer_depths(depth + runs[j].first + done, block[j], static_cast<int>(left));
        }
    }
}

// Runs that share a pixel go into different blocks, in their order, so that
// of two equal depths the earlier face's stays, as pixel by pixel.
template <class L> void store_depths(const ShadeRun* runs, int count, float* depth) {
    for (int r = 0; r < count;) {
        int batch = 1;
        while (batch < L::width && r + batch < count) {
            bool shares = false;
            for (int j = 0; j < batch; ++j) shares |= share_a_pixel<L>(runs[r + j], runs[r + batch]);
            if (shares) break;
            ++batch;
        }
        store_depth_block<L>(runs + r, batch, depth);
        r += batch;
    }
}

}  // namespace span_kernel
