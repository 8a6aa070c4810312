// The extended-precision intermediate of the model preparation's normals.
//
// The face and vertex normals are rounded to single precision from products,
// sums, roots and quotients held with a 64-bit significand, rounded to
// nearest with ties to even: the x87's 80-bit format. Their last bits thus
// depend on that width, twice rounded (to 64 bits, then to 24), and must not
// depend on what the compiler calls long double (the 64-bit double on some
// targets, a 113-bit quad on others). So the few operations the preparation
// needs are done here in integers, with the x87's results bit for bit.
//
// Every finite value that the preparation reaches from floats lies between
// 2^-300 and 2^260 in magnitude, far inside the 80-bit exponent range, so the
// exponent is a plain int that neither overflows nor needs 80-bit denormals.
//
// Not-a-number follows the x87: a float's is quieted on the way in with its
// payload kept; of two, the one with the larger significand wins, the
// positive one if they are equal; an invalid operation (infinity minus
// infinity, zero times infinity, 0 / 0, infinity / infinity, the root of a
// negative number) gives the negative quiet not-a-number with a zero payload.
#pragma once

#include <cstdint>

struct Extended {
    enum class Kind : std::uint8_t { zero, finite, infinite, not_a_number };

    Kind kind = Kind::zero;
    bool negative = false;
    // A finite value is significand * 2^(exponent - 63); its significand has
    // bit 63 set. A not-a-number's significand is its x87 significand: bit 63
    // set, bit 62 (quiet) set, the payload below.
    int exponent = 0;
    std::uint64_t significand = 0;

    Extended() = default;
    explicit Extended(float f);  // exact
    explicit Extended(int n);    // exact

    explicit operator float() const;  // rounded to nearest, ties to even

    bool is_zero() const { return kind == Kind::zero; }
};

Extended operator+(const Extended& a, const Extended& b);
Extended operator-(const Extended& a, const Extended& b);
Extended operator*(const Extended& a, const Extended& b);
Extended operator/(const Extended& a, const Extended& b);
Extended sqrt(const Extended& a);
