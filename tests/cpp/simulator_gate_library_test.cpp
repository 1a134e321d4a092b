#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <string>
#include <vector>

#include "simulator/gate_library.h"

namespace {

using C = std::complex<double>;

double max_unitarity_error(const GateMatrix& m) {
    const int d = static_cast<int>(std::lround(std::sqrt(m.size())));
    double worst = 0;
    for (int i = 0; i < d; ++i)
        for (int j = 0; j < d; ++j) {
            C sum = 0;
            for (int k = 0; k < d; ++k) sum += m[i * d + k] * std::conj(m[j * d + k]);
            worst = std::max(worst, std::abs(sum - C(i == j ? 1.0 : 0.0)));
        }
    return worst;
}

void expect_near(const GateMatrix& a, const GateMatrix& b, double tol = 1e-15) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(std::abs(a[i] - b[i]), 0.0, tol) << "entry " << i;
}

void expect_bits_equal(const GateMatrix& a, const GateMatrix& b) {
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(C)));
}

std::string error_of(const std::string& name) {
    try {
        gate_matrix(name, {});
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(GateLibrary, ParamCounts) {
    const std::pair<const char*, int> cases[] = {
        {"RX", 1}, {"RY", 1}, {"RZ", 1}, {"P", 1}, {"U1", 1}, {"CRX", 1}, {"CRY", 1}, {"CRZ", 1},
        {"CP", 1}, {"CU1", 1}, {"ISINGZZ", 1}, {"IZZ", 1}, {"RXX", 1}, {"RYY", 1}, {"RZZ", 1},
        {"R", 2}, {"U2", 2}, {"CU2", 2}, {"U3", 3}, {"U", 3}, {"CU3", 3}, {"CU", 4},
        {"H", 0}, {"CX", 0}, {"SWAP", 0}, {"rx", 0}, {"", 0}, {"IsingZZ", 0}};
    for (const auto& [name, count] : cases) EXPECT_EQ(gate_param_count(name), count) << name;
}

TEST(GateLibrary, EveryMatrixIsUnitary) {
    const char* names[] = {"I", "ID", "H", "X", "Y", "Z", "S", "SDG", "T", "TDG", "SX", "SY", "RX", "RY", "RZ",
                           "P", "U1", "R", "U2", "U3", "U", "SWAP", "ISWAP", "RZZ", "ISINGZZ", "IZZ", "RXX", "RYY",
                           "CX", "CNOT", "CY", "CZ", "CH", "CCX", "TOFFOLI", "CSWAP", "CRX", "CRY", "CRZ", "CP",
                           "CU1", "CU2", "CU3", "CU"};
    const std::vector<double> params = {0.7, -1.3, 2.1, 0.4};
    for (const char* name : names) {
        const GateMatrix m = controlled_base_matrix(name, params);
        EXPECT_TRUE(m.size() == 4 || m.size() == 16) << name;
        EXPECT_LT(max_unitarity_error(m), 1e-15) << name;
    }
}

TEST(GateLibrary, StoredEntriesAndAngles) {
    const double h = 0.7071067811865475;
    const GateMatrix H = gate_matrix("H", {});
    EXPECT_EQ(H[0].real(), h);
    EXPECT_NE(H[0].real(), 0.7071067811865476);
    EXPECT_EQ(H[3].real(), -h);
    expect_near(gate_matrix("RX", {}), {1, 0, 0, 1});
    expect_near(gate_matrix("RX", {M_PI}), {0, C(0, -1), C(0, -1), 0});
    expect_near(gate_matrix("P", {M_PI}), {1, 0, 0, -1});
    EXPECT_EQ(gate_matrix("U2", {0, 0}), (GateMatrix{h, -h, h, h}));  // exact values (-0.0 == 0.0)
    expect_near(gate_matrix("U3", {0.9}), gate_matrix("RY", {0.9}));
    expect_bits_equal(controlled_base_matrix("CRZ", {0.3}), gate_matrix("RZ", {0.3}));
    expect_bits_equal(controlled_base_matrix("CSWAP", {}), gate_matrix("SWAP", {}));
    expect_bits_equal(controlled_base_matrix("TOFFOLI", {}), gate_matrix("X", {}));
    const double c = std::cos(0.35), s = std::sin(0.35);
    expect_near(controlled_base_matrix("CU", {0.7}), {c, -s, s, c});
    // CU: e^{i gamma} U3.
    GateMatrix u3 = gate_matrix("U3", {0.7, 0.2, -0.4});
    for (auto& v : u3) v *= std::polar(1.0, 1.1);
    expect_near(controlled_base_matrix("CU", {0.7, 0.2, -0.4, 1.1}), u3, 1e-15);
    // Extra parameters are ignored.
    expect_bits_equal(gate_matrix("RZ", {0.3, 9.0}), gate_matrix("RZ", {0.3}));
    // T is (h + i h) with the stored h.
    EXPECT_EQ(gate_matrix("T", {})[3], C(h, h));
    EXPECT_EQ(gate_matrix("TDG", {})[3], C(h, -h));
    // R(theta, 0) is RX(theta); two-qubit rotations have the stated layout.
    expect_near(gate_matrix("R", {0.8, 0.0}), gate_matrix("RX", {0.8}));
    const GateMatrix ryy = gate_matrix("RYY", {0.6});
    EXPECT_EQ(ryy[3], C(0, std::sin(0.3)));
    EXPECT_EQ(ryy[6], C(0, -std::sin(0.3)));
    const GateMatrix rzz = gate_matrix("RZZ", {0.6});
    EXPECT_EQ(rzz[0], C(std::cos(0.3), -std::sin(0.3)));
    EXPECT_EQ(rzz[5], C(std::cos(0.3), std::sin(0.3)));
}

TEST(GateLibrary, UnknownNames) {
    EXPECT_EQ(error_of("Tdg"), "Unknown gate: Tdg");
    EXPECT_EQ(error_of("cx"), "Unknown gate: cx");
    EXPECT_EQ(error_of("CX"), "Unknown gate: CX");  // controlled names only through controlled_base_matrix
    EXPECT_THROW(controlled_base_matrix("measure", {}), std::runtime_error);
}

TEST(GateLibrary, Dagger) {
    try {
        dagger_matrix(GateMatrix(3));
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "dagger_matrix: matrix is not square");
    }
    EXPECT_TRUE(dagger_matrix({}).empty());
    const GateMatrix d = dagger_matrix(gate_matrix("ISWAP", {}));
    EXPECT_EQ(d[6], C(0, -1));
    EXPECT_EQ(d[9], C(0, -1));
    for (const char* name : {"U3", "RXX", "SX", "R", "U2", "CU"}) {
        const GateMatrix m = controlled_base_matrix(name, {0.3, 1.7, -0.2, 0.9});
        expect_bits_equal(dagger_matrix(dagger_matrix(m)), m);
    }
    const GateMatrix m = gate_matrix("U3", {0.3, 1.7, -0.2});
    const GateMatrix md = dagger_matrix(m);
    EXPECT_EQ(md[1], std::conj(m[2]));
}
