// Randomness of the quantum-volume generator: the xorshift128+ generator and
// random 4x4 unitaries drawn from the Haar measure (Gaussian matrix, QR, phase
// correction of the columns).
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

// xorshift128+ (shifts 23, 17, 26).  A plain value type; the default state is
// all zero, which no seeded construction produces.
struct XorShift128Plus {
    uint64_t s0 = 0;
    uint64_t s1 = 0;

    XorShift128Plus() = default;
    constexpr explicit XorShift128Plus(uint64_t x) noexcept
        : s0(x ^ 0x9e3779b97f4a7c15ULL), s1(x * 0xbf58476d1ce4e5b9ULL + 0x94d049bb133111ebULL) {}

    constexpr uint64_t next() noexcept {
        const uint64_t a = s0;
        const uint64_t b = s1;
        const uint64_t t = a ^ (a << 23);
        const uint64_t n = t ^ (t >> 17) ^ b ^ (b >> 26);
        s0 = b;
        s1 = n;
        return n + b;
    }
};

// Radius used when the uniform u1 is below 1e-15 (in practice exactly 0):
// sqrt(-2 ln 1e-15).
inline constexpr double kMaxGaussianRadius = 8.31129068134555;

// Box-Muller, cosine branch only.  Sample k is taken from outputs[2k] (radius,
// u1) and outputs[2k+1] (angle, u2); each uniform is the upper 32 bits of an
// output times 2^-32.  `count` must be a multiple of 4 (four lanes per call of
// the vector maths library).
void gaussian_fill(const uint64_t* outputs, double* samples, std::size_t count) noexcept;

// Writes a random 4x4 unitary, determined by `seed` alone, into `matrix`:
// exactly 16 entries, column-major.  Uses 64 generator outputs: entry
// m = 4*row + col takes its imaginary part from outputs 4m+1, 4m+2 and its real
// part from outputs 4m+3, 4m+4.  No allocation other than sizing `matrix`.
void random_su4_unitary(uint64_t seed, std::vector<std::complex<double>>& matrix);
