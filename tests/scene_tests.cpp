// The scene data, its one-time preparation and the texture decoding.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>

#include "scene/preparation.h"
#include "scene/processor.h"
#include "test_support.h"
#include "tools/texture_art.h"

namespace {

bool aligned16(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 16 == 0; }

TEST(SceneData, ConstantsHoldTheirExactBitPatterns) {
    EXPECT_EQ(bits(angle_step), 0x3C49081Cu);
    EXPECT_EQ(bits(zoom_grow_factor), 0x3F8037B5u);
    EXPECT_EQ(bits(zoom_shrink_factor), 0x3F7F90C7u);
    EXPECT_EQ(bits(depth_tolerance), 0x3F8CCCCDu);
    EXPECT_EQ(far_depth(), 60000.1015625f);
    for (int lane = 0; lane < 3; ++lane) EXPECT_EQ(bits(xyz_mask.lane[lane]), 0xFFFFFFFFu);
    EXPECT_EQ(bits(xyz_mask.lane[3]), 0u);
}

TEST(SceneData, VectorItemsAreAlignedForFourLaneLoads) {
    for (const void* item :
         {static_cast<const void*>(lights), static_cast<const void*>(&lights[1]), static_cast<const void*>(&lights[2]),
          static_cast<const void*>(&texel_clamp), static_cast<const void*>(&colour_clamp),
          static_cast<const void*>(&zero_vector), static_cast<const void*>(&one_vector),
          static_cast<const void*>(&xyz_mask), static_cast<const void*>(rotation_coeffs)})
        EXPECT_TRUE(aligned16(item));
}

TEST(SceneData, ModelFitsTheWorkingArraysAndIndicesAreInRange) {
    restore_initial_scene_data();
    ASSERT_LE(vertex_count, working_array_room);
    ASSERT_LE(face_count, working_array_room);
    for (int f = 0; f < face_count; ++f)
        for (int n = 0; n < 3; ++n) EXPECT_LT(model_faces[f].corner[n], vertex_count);
    for (const LightRecord& light : lights) {
        EXPECT_EQ(light.direction.lane[3], 0.0f);
        EXPECT_EQ(light.diffuse.lane[3], 0.0f);
        EXPECT_EQ(light.ambient.lane[3], 0.0f);
        EXPECT_EQ(light.specular.lane[3], 0.0f);
    }
}

TEST(SceneData, PackedTextureIsWhatTheTextureProgramMakes) {
    std::uint8_t indices[art_size * art_size];
    std::uint8_t packed[art_size * art_size / 2];
    draw_texture_picture(indices);
    pack_texture_picture(indices, packed);
    EXPECT_EQ(std::memcmp(packed, packed_texture, sizeof packed), 0);
}

// --- Texture decoding -----------------------------------------------------

std::uint32_t palette_texel(int index) {
    return std::uint32_t{palette[3 * index + 2]} << 16 | std::uint32_t{palette[3 * index + 1]} << 8 |
           palette[3 * index];
}

TEST(TextureDecoding, LastPackedByteGivesTheFirstTexelsLowNibbleFirst) {
    restore_initial_scene_data();
    decode_texture();
    const std::uint8_t last = packed_texture[packed_texture_bytes - 1];
    EXPECT_EQ(texture[0], palette_texel(last & 0x0F));
    EXPECT_EQ(texture[1], palette_texel(last >> 4));
    const std::uint8_t first = packed_texture[0];
    EXPECT_EQ(texture[16382], palette_texel(first & 0x0F));
    EXPECT_EQ(texture[16383], palette_texel(first >> 4));
}

TEST(TextureDecoding, PictureStandsUprightWithPaletteColours) {
    restore_initial_scene_data();
    decode_texture();
    std::uint8_t indices[art_size * art_size];
    draw_texture_picture(indices);
    bool saw_entry_zero = false;
    for (int t = 0; t < texel_count; ++t) {
        ASSERT_EQ(texture[t], palette_texel(indices[t])) << "texel " << t;
        ASSERT_EQ(texture[t] >> 24, 0u);
        if (indices[t] == 0) {
            saw_entry_zero = true;
            EXPECT_EQ(texture[t], 0x474441u);
        }
    }
    EXPECT_TRUE(saw_entry_zero);
}

// --- Model preparation -----------------------------------------------------

void expect_vec(const Vec3& v, float x, float y, float z, float tolerance = 2e-5f) {
    EXPECT_NEAR(v.x, x, tolerance);
    EXPECT_NEAR(v.y, y, tolerance);
    EXPECT_NEAR(v.z, z, tolerance);
}

void prepare_shipped_model() {
    restore_initial_scene_data();
    normalize_light_directions(lights, light_count);
    centre_and_scale_model(vertex_count, model_vertices);
    compute_face_normals();
    compute_vertex_normals();
}

TEST(ModelPreparation, ShippedSceneGivesTheKnownDirectionsAndNormals) {
    prepare_shipped_model();
    // The estimate is good to about 12 bits.
    const float estimate = 4e-4f;
    EXPECT_NEAR(lights[0].direction.lane[2], -1.0f, estimate);
    EXPECT_NEAR(lights[1].direction.lane[0], -0.40825f, estimate);
    EXPECT_NEAR(lights[1].direction.lane[2], -0.81650f, estimate);
    EXPECT_NEAR(lights[2].direction.lane[1], 0.40825f, estimate);
    for (const LightRecord& light : lights) EXPECT_EQ(light.direction.lane[3], 0.0f);

    // Centring moves nothing; the scale is 1 within the estimate.
    EXPECT_NEAR(model_vertices[0].x, -1.0f, estimate);
    EXPECT_NEAR(model_vertices[2].y, 1.0f, estimate);

    expect_vec(face_normals[0], 0.0f, -0.44721f, -0.89443f);
    expect_vec(face_normals[1], 0.87287f, -0.21822f, 0.43644f);
    expect_vec(face_normals[2], -0.87287f, -0.21822f, 0.43644f);
    expect_vec(face_normals[3], 0.0f, 1.0f, 0.0f);
    expect_vec(vertex_normals[0], 0.83853f, 0.32140f, -0.43997f);
    expect_vec(vertex_normals[1], -0.83853f, 0.32140f, -0.43997f);
    expect_vec(vertex_normals[2], 0.0f, -0.99970f, -0.02439f);
    expect_vec(vertex_normals[3], 0.0f, 0.54241f, 0.84011f);
}

#if LDBL_MANT_DIG == 64 && OMBRASTEL_X86
// Where long double is the x87's 80-bit format: the normals recomputed from
// the prepared positions with every product, sum, root and quotient in it and
// one rounding per stored component; the prepared normals must equal them to
// the bit. Elsewhere the pinned bits of prepared_model_bits.cpp stand in.
Vec3 extended_unit(long double x, long double y, long double z) {
    const long double length = std::sqrt(x * x + (y * y + z * z));
    return {static_cast<float>(x / length), static_cast<float>(y / length), static_cast<float>(z / length)};
}

TEST(ModelPreparation, NormalsAreRoundedOnceFromExtendedPrecision) {
    prepare_shipped_model();
    Vec3 expected_faces[4];
    for (int f = 0; f < 4; ++f) {
        const Vec3& p0 = model_vertices[model_faces[f].corner[0]];
        const Vec3& p1 = model_vertices[model_faces[f].corner[1]];
        const Vec3& p2 = model_vertices[model_faces[f].corner[2]];
        const Vec3 e1{p1.x - p0.x, p1.y - p0.y, p1.z - p0.z};
        const Vec3 e2{p2.x - p1.x, p2.y - p1.y, p2.z - p1.z};
        const Vec3 cross{
            static_cast<float>(static_cast<long double>(e1.y) * e2.z - static_cast<long double>(e1.z) * e2.y),
            static_cast<float>(static_cast<long double>(e1.z) * e2.x - static_cast<long double>(e1.x) * e2.z),
            static_cast<float>(static_cast<long double>(e1.x) * e2.y - static_cast<long double>(e1.y) * e2.x)};
        expected_faces[f] = extended_unit(cross.x, cross.y, cross.z);
        EXPECT_EQ(bits(face_normals[f].x), bits(expected_faces[f].x)) << "face " << f;
        EXPECT_EQ(bits(face_normals[f].y), bits(expected_faces[f].y)) << "face " << f;
        EXPECT_EQ(bits(face_normals[f].z), bits(expected_faces[f].z)) << "face " << f;
    }
    for (int v = 0; v < 4; ++v) {
        float sum[3] = {0.0f, 0.0f, 0.0f};
        int count = 0;
        for (int f = 0; f < 4; ++f) {
            const auto* c = model_faces[f].corner;
            if (c[0] != v && c[1] != v && c[2] != v) continue;
            sum[0] = sum[0] + expected_faces[f].x;
            sum[1] = sum[1] + expected_faces[f].y;
            sum[2] = sum[2] + expected_faces[f].z;
            ++count;
        }
        const Vec3 mean{static_cast<float>(static_cast<long double>(sum[0]) / count),
                        static_cast<float>(static_cast<long double>(sum[1]) / count),
                        static_cast<float>(static_cast<long double>(sum[2]) / count)};
        const Vec3 expected = extended_unit(mean.x, mean.y, mean.z);
        EXPECT_EQ(bits(vertex_normals[v].x), bits(expected.x)) << "vertex " << v;
        EXPECT_EQ(bits(vertex_normals[v].y), bits(expected.y)) << "vertex " << v;
        EXPECT_EQ(bits(vertex_normals[v].z), bits(expected.z)) << "vertex " << v;
    }
}
#endif

TEST(ModelPreparation, FaceNormalsPointIntoTheModel) {
    prepare_shipped_model();
    for (int f = 0; f < face_count; ++f) {
        // The one vertex the face does not hold.
        int other = 0;
        while (other == model_faces[f].corner[0] || other == model_faces[f].corner[1] ||
               other == model_faces[f].corner[2])
            ++other;
        const Vec3& p = model_vertices[model_faces[f].corner[0]];
        const Vec3& q = model_vertices[other];
        const Vec3& n = face_normals[f];
        EXPECT_GT((q.x - p.x) * n.x + (q.y - p.y) * n.y + (q.z - p.z) * n.z, 0.0f) << "face " << f;
    }
}

TEST(ModelPreparation, DegenerateAndRepeatedCornerFaces) {
    restore_initial_scene_data();
    // Vertex 4 lies on the line from 0 to 1: face 4 (0, 4, 1) is degenerate.
    // Face 5 names vertex 2 twice.
    model_vertices[4] = {0.0f, -1.0f, 1.0f};
    model_faces[4] = {{0, 4, 1}};
    model_faces[5] = {{2, 2, 3}};
    vertex_count = 5;
    face_count = 6;
    compute_face_normals();
    EXPECT_EQ(bits(face_normals[4].x), 0u);
    EXPECT_EQ(bits(face_normals[4].y), 0u);
    EXPECT_EQ(bits(face_normals[4].z), 0u);
    EXPECT_EQ(bits(face_normals[5].z), 0u);  // two equal corners: degenerate too

    compute_vertex_normals();
    // Vertex 4 belongs only to the degenerate face: its normal is +0.
    EXPECT_EQ(bits(vertex_normals[4].x) | bits(vertex_normals[4].y) | bits(vertex_normals[4].z), 0u);

    // Vertex 0 is in faces 0, 1, 3 and the degenerate 4: the degenerate face
    // adds nothing but still counts, so the direction is that of the plain
    // sum of the other three.
    Vec3 sum{face_normals[0].x + face_normals[1].x + face_normals[3].x,
             face_normals[0].y + face_normals[1].y + face_normals[3].y,
             face_normals[0].z + face_normals[1].z + face_normals[3].z};
    vec3_normalize(&sum);
    expect_vec(vertex_normals[0], sum.x, sum.y, sum.z, 1e-6f);
}

TEST(ModelPreparation, FaceNamingAVertexTwiceCountsOnce) {
    restore_initial_scene_data();
    face_normals[0] = {1.0f, 0.0f, 0.0f};
    face_normals[1] = {0.0f, 1.0f, 0.0f};
    model_faces[0] = {{0, 0, 1}};
    model_faces[1] = {{2, 0, 3}};
    face_count = 2;
    compute_vertex_normals();
    // Counted twice, face 0 would pull the average to (2, 1, 0) / 3.
    expect_vec(vertex_normals[0], 0.70711f, 0.70711f, 0.0f, 1e-5f);
}

TEST(ModelPreparation, NormalizeZeroVectorGivesPositiveZero) {
    Vec3 v{-0.0f, 0.0f, -0.0f};
    vec3_normalize(&v);
    EXPECT_EQ(bits(v.x) | bits(v.y) | bits(v.z), 0u);
    Vec3 tiny{1e-30f, 0.0f, 0.0f};  // squares underflow in single precision, not here
    vec3_normalize(&tiny);
    EXPECT_EQ(tiny.x, 1.0f);
}

TEST(ModelPreparation, CrossProductRoundsEachComponentOnce) {
    // x = a.y b.z - a.z b.y = (1 + 2^-12)^2 - 1 = 2^-11 + 2^-24: exact in
    // extended precision, while single-precision products would lose the
    // 2^-24 before the difference.
    const float e = 1.0f + 0x1p-12f;
    const Vec3 a{0.0f, e, 1.0f}, b{0.0f, 1.0f, e};
    Vec3 out;
    vec3_cross(&out, &a, &b);
    EXPECT_EQ(out.x, 0x1p-11f + 0x1p-24f);
    EXPECT_EQ(out.y, 0.0f);
    EXPECT_EQ(out.z, 0.0f);
}

TEST(ModelPreparation, UncentredModelIsMovedAndScaled) {
    restore_initial_scene_data();
    Vec3 v[4] = {{2.0f, -1.0f, 1.0f}, {6.0f, 1.0f, -1.0f}, {4.0f, 0.0f, 0.0f}, {3.0f, 1.0f, 1.0f}};
    centre_and_scale_model(4, v);
    const float estimate = 4e-4f;
    EXPECT_NEAR(v[0].x, -1.0f, estimate);
    EXPECT_NEAR(v[1].x, 1.0f, estimate);
    EXPECT_NEAR(v[0].y, -0.5f, estimate);
    EXPECT_NEAR(v[1].z, -0.5f, estimate);
}

TEST(ModelPreparation, FlatAxisBecomesZeroAndDoesNotScale) {
    Vec3 v[3] = {{-2.0f, 5.0f, 0.0f}, {2.0f, 5.0f, 1.0f}, {0.0f, 5.0f, -1.0f}};
    centre_and_scale_model(3, v);
    for (const Vec3& p : v) EXPECT_EQ(bits(p.y), 0u);
    EXPECT_NEAR(v[0].x, -1.0f, 4e-4f);  // the x axis alone sets the scale
    EXPECT_NEAR(v[1].z, 0.5f, 4e-4f);
}

TEST(ModelPreparation, DegenerateInputsStayFinite) {
    // Coincident vertices have no extent, a zero light no direction: neither
    // turns into not-a-number.
    Vec3 v[2] = {{3.0f, 3.0f, 3.0f}, {3.0f, 3.0f, 3.0f}};
    centre_and_scale_model(2, v);
    EXPECT_EQ(v[0].x, 0.0f);
    LightRecord dark{};
    normalize_light_directions(&dark, 1);
    EXPECT_EQ(dark.direction.lane[0], 0.0f);

    restore_initial_scene_data();
    face_count = 1;  // vertex 3 is in no face
    compute_face_normals();
    compute_vertex_normals();
    EXPECT_EQ(vertex_normals[3].x, 0.0f);
    EXPECT_FALSE(std::isnan(vertex_normals[3].y));
}

}  // namespace
