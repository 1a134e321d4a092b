// The xorshift128+ generator, the Gaussian fill and the random unitaries.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdint>
#include <vector>

#include "quantum_volume/qv_random.h"

namespace {

using Matrix = std::vector<std::complex<double>>;

Eigen::Matrix4cd as_eigen(const Matrix& m) { return Eigen::Map<const Eigen::Matrix4cd>(m.data()); }

// One Gaussian sample computed with the scalar maths library.
double scalar_gaussian(uint64_t x1, uint64_t x2) {
    const double u1 = static_cast<double>(x1 >> 32) * 0x1p-32;
    const double u2 = static_cast<double>(x2 >> 32) * 0x1p-32;
    const double r = u1 < 1e-15 ? kMaxGaussianRadius : std::sqrt(-2.0 * std::log(u1));
    return r * std::cos(2.0 * M_PI * u2);
}

TEST(XorShift128Plus, ConstructionAndFirstOutputs) {
    XorShift128Plus g(0);
    EXPECT_EQ(g.s0, 0x9e3779b97f4a7c15ULL);
    EXPECT_EQ(g.s1, 0x94d049bb133111ebULL);
    EXPECT_EQ(g.next(), 0x6b28fe184fdbcbcaULL);
    EXPECT_EQ(g.next(), 0x7559f654e15a0602ULL);
}

TEST(GaussianFill, MatchesScalarBoxMullerAndClampsZeroU1) {
    XorShift128Plus g(99);
    std::vector<uint64_t> out(64);
    for (auto& x : out) x = g.next();
    out[0] = out[1] = 0x00000000ffffffffULL;  // u1 = 0 and a zero angle: exactly the fixed radius
    out[6] = 0;                               // u1 = 0 with another angle
    std::vector<double> s(32);
    gaussian_fill(out.data(), s.data(), s.size());
    EXPECT_EQ(s[0], kMaxGaussianRadius);
    for (std::size_t k = 0; k < s.size(); ++k)  // a NaN or infinity fails too
        EXPECT_NEAR(s[k], scalar_gaussian(out[2 * k], out[2 * k + 1]), 1e-13) << k;
}

// The result Q must be unitary, and Q^H A must be R with a positive real
// diagonal, where A is the Gaussian matrix drawn row by row, imaginary part
// first: this pins the draw order, the column-major output and the phase
// correction.
TEST(RandomSu4Unitary, IsTheUnitaryCorrectedQFactorOfTheDrawnMatrix) {
    std::vector<uint64_t> seeds = {~0ULL, 0x9e3779b97f4a7c15ULL};
    for (uint64_t k = 0; k < 2000; ++k) seeds.push_back(k * 0x123456789ULL);
    Matrix m(20, {7.0, 7.0});  // any prior size becomes 16
    for (uint64_t seed : seeds) {
        XorShift128Plus g(seed);
        Eigen::Matrix4cd a;
        for (int k = 0; k < 16; ++k) {
            const uint64_t x1 = g.next(), x2 = g.next(), x3 = g.next(), x4 = g.next();
            a(k / 4, k % 4) = {scalar_gaussian(x3, x4), scalar_gaussian(x1, x2)};
        }
        random_su4_unitary(seed, m);
        ASSERT_EQ(m.size(), 16u);
        const Eigen::Matrix4cd q = as_eigen(m), r = q.adjoint() * a;
        ASSERT_LT((q.adjoint() * q - Eigen::Matrix4cd::Identity()).cwiseAbs().maxCoeff(), 1e-12) << seed;
        for (int i = 0; i < 4; ++i) {
            ASSERT_GT(r(i, i).real(), 1e-3) << seed;
            ASSERT_NEAR(r(i, i).imag(), 0.0, 1e-10) << seed;
            for (int j = 0; j < i; ++j) ASSERT_NEAR(std::abs(r(i, j)), 0.0, 1e-10) << seed;
        }
    }
}

}  // namespace
