// The prepared model pinned to the bit: its normals, and with the ieee
// arithmetic the whole preparation. The normals are rounded to single
// precision from intermediates with a 64-bit significand, and must not depend
// on the width of the compiler's long double (64, 80 or 128 bits): this file
// runs in every build, and once more in a build of the model preparation whose
// long double is a plain double (tests/CMakeLists.txt).
//
// The expected bits were made by the model preparation with the x87's 80-bit
// long double (x86-64, g++). When a case differs, the test prints what it got
// in the form of its table.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

#include "scene/preparation.h"

namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

struct Bits3 {
    std::uint32_t x, y, z;
};

Bits3 bits3(const Vec3& v) { return {bits(v.x), bits(v.y), bits(v.z)}; }
Vec3 vec3(const Bits3& b) { return {from_bits(b.x), from_bits(b.y), from_bits(b.z)}; }
bool operator==(const Bits3& a, const Bits3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

std::string table_line(const Bits3& b) {
    char line[64];
    std::snprintf(line, sizeof line, "{0x%08X, 0x%08X, 0x%08X},", b.x, b.y, b.z);
    return line;
}

// Compares a table of results; on a difference, prints the whole table as
// got, one line per entry.
void expect_table(const char* what, const Bits3* got, const Bits3* expected, int count) {
    bool same = true;
    std::string table;
    for (int i = 0; i < count; ++i) {
        same = same && got[i] == expected[i];
        table += "    " + table_line(got[i]) + (got[i] == expected[i] ? "\n" : "  // differs\n");
    }
    EXPECT_TRUE(same) << what << " got:\n" << table;
}

// --- The shipped model -----------------------------------------------------

// The shipped positions after centring and scaling on x86-64 (the scale comes
// from the processor's reciprocal estimate, so it is given here rather than
// recomputed: the normals alone are pinned).
const Bits3 shipped_positions[4] = {
    {0xBF7FF000, 0xBF7FF000, 0x3F7FF000},
    {0x3F7FF000, 0xBF7FF000, 0x3F7FF000},
    {0x00000000, 0x3F7FF000, 0x00000000},
    {0x00000000, 0xBF7FF000, 0xBF7FF000},
};
const Bits3 shipped_face_normals[4] = {
    {0x00000000, 0xBEE4F92E, 0xBF64F92E},
    {0x3F5F7483, 0xBE5F7483, 0x3EDF7483},
    {0xBF5F7483, 0xBE5F7483, 0x3EDF7483},
    {0x80000000, 0x3F800000, 0x00000000},
};
const Bits3 shipped_vertex_normals[4] = {
    {0x3F56A9A1, 0x3EA48F0E, 0xBEE143CC},
    {0xBF56A9A1, 0x3EA48F0E, 0xBEE143CC},
    {0x00000000, 0xBF7FEC83, 0xBCC7C661},
    {0x00000000, 0x3F0ADB96, 0x3F571193},
};

TEST(PreparedModelBits, ShippedModelNormals) {
    restore_initial_scene_data();
    for (int v = 0; v < 4; ++v) model_vertices[v] = vec3(shipped_positions[v]);
    compute_face_normals();
    compute_vertex_normals();
    Bits3 faces[4], vertices[4];
    for (int i = 0; i < 4; ++i) {
        faces[i] = bits3(face_normals[i]);
        vertices[i] = bits3(vertex_normals[i]);
    }
    expect_table("face normals", faces, shipped_face_normals, 4);
    expect_table("vertex normals", vertices, shipped_vertex_normals, 4);
}

// The whole preparation with the ieee arithmetic, whose square roots and
// divisions are rounded the same on every processor: the positions, the
// light directions and both kinds of normal.
const Bits3 ieee_positions[4] = {
    {0xBF800000, 0xBF800000, 0x3F800000},
    {0x3F800000, 0xBF800000, 0x3F800000},
    {0x00000000, 0x3F800000, 0x00000000},
    {0x00000000, 0xBF800000, 0xBF800000},
};
const Bits3 ieee_light_directions[light_count] = {
    {0x00000000, 0x00000000, 0xBF800000},
    {0xBED105EB, 0xBED105EB, 0xBF5105EB},
    {0x3ED105EB, 0x3ED105EB, 0xBF5105EB},
};
const Bits3 ieee_face_normals[4] = {
    {0x00000000, 0xBEE4F92E, 0xBF64F92E},
    {0x3F5F7483, 0xBE5F7483, 0x3EDF7483},
    {0xBF5F7483, 0xBE5F7483, 0x3EDF7483},
    {0x80000000, 0x3F800000, 0x00000000},
};
const Bits3 ieee_vertex_normals[4] = {
    {0x3F56A9A1, 0x3EA48F0E, 0xBEE143CC},
    {0xBF56A9A1, 0x3EA48F0E, 0xBEE143CC},
    {0x00000000, 0xBF7FEC83, 0xBCC7C661},
    {0x00000000, 0x3F0ADB96, 0x3F571193},
};

TEST(PreparedModelBits, WholeModelWithIeee) {
    restore_initial_scene_data();
    prepare_model(Estimates::ieee);
    Bits3 positions[4], directions[light_count], faces[4], vertices[4];
    for (int i = 0; i < 4; ++i) {
        positions[i] = bits3(model_vertices[i]);
        faces[i] = bits3(face_normals[i]);
        vertices[i] = bits3(vertex_normals[i]);
    }
    for (int l = 0; l < light_count; ++l) {
        const float* d = lights[l].direction.lane;
        directions[l] = {bits(d[0]), bits(d[1]), bits(d[2])};
        EXPECT_EQ(bits(d[3]), 0u) << "light " << l << "'s fourth lane";
    }
    expect_table("ieee positions", positions, ieee_positions, 4);
    expect_table("ieee light directions", directions, ieee_light_directions, light_count);
    expect_table("ieee face normals", faces, ieee_face_normals, 4);
    expect_table("ieee vertex normals", vertices, ieee_vertex_normals, 4);
    prepare_model(default_estimates);
}

// --- Cases where the width of the significand shows --------------------------

// (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24 lies half-way between two floats; the
// second product moves the exact difference just above that tie by 2^-60 or
// 2^-70. A 53-bit significand rounds 2^-60 away and lands on the tie (then
// even, down); 64 bits keep it (up). 64 bits round 2^-70 away (tie, down); 113
// bits keep it (up).
constexpr float e = 1.0f + 0x1p-12f;
struct CrossCase {
    Vec3 a, b;
};
const CrossCase cross_cases[] = {
    {{0.0f, e, 0x1p-30f}, {0.0f, -0x1p-30f, e}},                          // x: 1 + 2^-11 + 2^-24 + 2^-60
    {{0.0f, e, 0x1p-35f}, {0.0f, -0x1p-35f, e}},                          // x: ... + 2^-70
    {{0.0f, e, 0x1p-35f}, {0.0f, 0x1p-35f, e}},                           // x: ... - 2^-70
    {{0.0f, e, -0x1p-30f}, {0.0f, 0x1p-30f, -e}},                         // x: -(... + 2^-60)
    {{0x1p-30f, 0.0f, e}, {e, 0.0f, -0x1p-30f}},                          // y: ... + 2^-60
    {{e, 0x1p-35f, 0.0f}, {-0x1p-35f, e, 0.0f}},                          // z: ... + 2^-70
    {{0.0f, 0x1p-70f * e, 0x1p-100f}, {0.0f, -0x1p-100f, 0x1p-70f * e}},  // squares of tiny floats
    {{0.0f, 0x1p-75f, 0x1p-75f}, {0.0f, 0x1p-75f, 0x1p-74f}},             // 2^-150: half the least subnormal
    {{0.0f, 0x1p-75f, 0x1p-75f}, {0.0f, -0x1p-75f, 0x1p-74f}},            // 3 * 2^-150
    {{0.0f, 0x1p100f, -0x1p100f}, {0.0f, 0x1p100f, 0x1p100f}},            // 2^201 overflows the float
    {{0.0f, 1.0f, 0x1p-149f}, {0.0f, -0x1p-149f, 0x1p-149f}},             // 2^-149 + 2^-298
};
constexpr int cross_case_count = sizeof cross_cases / sizeof cross_cases[0];
// One case a line.
// clang-format off
const Bits3 cross_expected[cross_case_count] = {
    {0x3F801001, 0x00000000, 0x80000000},
    {0x3F801000, 0x00000000, 0x80000000},
    {0x3F801000, 0x00000000, 0x00000000},
    {0xBF801000, 0x00000000, 0x00000000},
    {0x80000000, 0x3F801001, 0x00000000},
    {0x00000000, 0x80000000, 0x3F801000},
    {0x00000200, 0x00000000, 0x80000000},
    {0x00000000, 0x00000000, 0x00000000},
    {0x00000002, 0x00000000, 0x80000000},
    {0x7F800000, 0x80000000, 0x00000000},
    {0x00000001, 0x00000000, 0x80000000},
};
// clang-format on

TEST(PreparedModelBits, CrossProductsNearTies) {
    Bits3 got[cross_case_count];
    for (int i = 0; i < cross_case_count; ++i) {
        Vec3 out;
        vec3_cross(&out, &cross_cases[i].a, &cross_cases[i].b);
        got[i] = bits3(out);
    }
    expect_table("cross products", got, cross_expected, cross_case_count);
}

const Vec3 normalize_cases[] = {
    {3.0f, 4.0f, 0.0f},
    {1.0f, 1.0f, 1.0f},
    {1.0f, 2.0f, 3.0f},
    {0x1p-149f, 0x1p-149f, 0.0f},  // squares far below the float range
    {0x1p-149f, -0x1.fffffcp-127f, 0x1p-126f},
    {0x1.fffffep127f, 0x1.fffffep127f, -0x1.fffffep127f},  // squares far above it
    {-0.0f, 0.0f, -0.0f},
    {1e-30f, 0.0f, 0.0f},
    {0.1f, -0.2f, 0.3f},
    {0x1.000002p0f, 0x1p-12f, 0x1p-24f},
    {std::bit_cast<float>(0x7F800000u), 1.0f, 0.0f},  // infinite: inf / inf is not-a-number
    {std::bit_cast<float>(0xFFC01234u), 1.0f, 0.0f},  // not-a-number keeps its payload
};
constexpr int normalize_case_count = sizeof normalize_cases / sizeof normalize_cases[0];
// One case a line.
// clang-format off
const Bits3 normalize_expected[normalize_case_count] = {
    {0x3F19999A, 0x3F4CCCCD, 0x00000000},
    {0x3F13CD3A, 0x3F13CD3A, 0x3F13CD3A},
    {0x3E88D677, 0x3F08D677, 0x3F4D41B3},
    {0x3F3504F3, 0x3F3504F3, 0x00000000},
    {0x33B504F4, 0xBF3504F2, 0x3F3504F4},
    {0x3F13CD3A, 0x3F13CD3A, 0xBF13CD3A},
    {0x00000000, 0x00000000, 0x00000000},
    {0x3F800000, 0x00000000, 0x00000000},
    {0x3E88D677, 0xBF08D677, 0x3F4D41B3},
    {0x3F800000, 0x397FFFFE, 0x337FFFFE},
    {0xFFC00000, 0x00000000, 0x00000000},
    {0xFFC01234, 0xFFC01234, 0xFFC01234},
};
// clang-format on

TEST(PreparedModelBits, NormalizeAcrossTheFloatRange) {
    Bits3 got[normalize_case_count];
    for (int i = 0; i < normalize_case_count; ++i) {
        Vec3 v = normalize_cases[i];
        vec3_normalize(&v);
        got[i] = bits3(v);
    }
    expect_table("unit vectors", got, normalize_expected, normalize_case_count);
}

// --- Many random models -------------------------------------------------------

std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

// Finite floats of every kind, most of them ordinary: coordinates of a few
// significant bits (like the shipped model's), full ones, tiny, subnormal,
// huge and zeros. Huge ones still give infinite edges and not-a-number
// normals; infinite coordinates would not add to that, and their
// single-precision infinity minus infinity gives another not-a-number on
// other processors.
float random_coordinate(std::uint64_t& state) {
    const std::uint64_t r = next_random(state);
    const std::uint32_t sign = static_cast<std::uint32_t>(r >> 63) << 31;
    const std::uint32_t mantissa = static_cast<std::uint32_t>(r >> 8) & 0x7FFFFF;
    const std::uint32_t pick = r & 31;
    auto with_exponent = [&](int exponent, std::uint32_t m) {
        return std::bit_cast<float>(sign | static_cast<std::uint32_t>(exponent + 127) << 23 | m);
    };
    if (pick < 12) return with_exponent(static_cast<int>(r >> 40) % 5 - 2, mantissa & 0x7E0000);
    if (pick < 22) return with_exponent(static_cast<int>(r >> 40) % 41 - 20, mantissa);
    if (pick < 25) return with_exponent(static_cast<int>(r >> 40) % 26 - 126, mantissa);
    if (pick < 27) return std::bit_cast<float>(sign | mantissa);
    if (pick < 30) return with_exponent(static_cast<int>(r >> 40) % 30 + 98, mantissa);
    return std::bit_cast<float>(sign);
}

TEST(PreparedModelBits, RandomModelsDigest) {
    std::uint64_t state = 2026;
    std::uint64_t digest = 0xCBF29CE484222325u;
    auto fold = [&digest](const Vec3& v) {
        for (const std::uint32_t b : {bits(v.x), bits(v.y), bits(v.z)}) {
            digest = (digest ^ b) * 0x100000001B3u;
        }
    };
    for (int model = 0; model < 20000; ++model) {
        restore_initial_scene_data();
        vertex_count = static_cast<std::uint16_t>(3 + next_random(state) % 4);
        face_count = static_cast<std::uint16_t>(1 + next_random(state) % 6);
        for (int v = 0; v < vertex_count; ++v)
            model_vertices[v] = {random_coordinate(state), random_coordinate(state), random_coordinate(state)};
        for (int f = 0; f < face_count; ++f)
            for (std::uint16_t& corner : model_faces[f].corner)
                corner = static_cast<std::uint16_t>(next_random(state) % vertex_count);
        compute_face_normals();
        compute_vertex_normals();
        for (int f = 0; f < face_count; ++f) fold(face_normals[f]);
        for (int v = 0; v < vertex_count; ++v) fold(vertex_normals[v]);
    }
    char got[32];
    std::snprintf(got, sizeof got, "0x%016llX", static_cast<unsigned long long>(digest));
    EXPECT_EQ(std::string(got), "0xB3E97E44757816F5");
}

}  // namespace
