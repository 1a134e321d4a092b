#include "simulator/gate_library.h"

#include <cmath>
#include <stdexcept>
#include <string_view>

namespace {

using C = std::complex<double>;

// 1/sqrt(2) as stored: one ulp below the correctly rounded value.
constexpr double kH = 0.7071067811865475;
constexpr double kMinusH = -0.7071067811865475;
constexpr double kHalf = 0.5;

constexpr C kIdentity[4] = {{1, 0}, {0, 0}, {0, 0}, {1, 0}};
constexpr C kPauliX[4] = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
constexpr C kPauliY[4] = {{0, 0}, {0, -1}, {0, 1}, {0, 0}};
constexpr C kPauliZ[4] = {{1, 0}, {0, 0}, {0, 0}, {-1, 0}};
constexpr C kHadamard[4] = {{kH, 0}, {kH, 0}, {kH, 0}, {kMinusH, 0}};
constexpr C kPhaseS[4] = {{1, 0}, {0, 0}, {0, 0}, {0, 1}};
constexpr C kPhaseSdg[4] = {{1, 0}, {0, 0}, {0, 0}, {0, -1}};
constexpr C kPhaseT[4] = {{1, 0}, {0, 0}, {0, 0}, {kH, kH}};
constexpr C kPhaseTdg[4] = {{1, 0}, {0, 0}, {0, 0}, {kH, kMinusH}};
constexpr C kSqrtX[4] = {{0.5, 0.5}, {0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}};
constexpr C kSqrtY[4] = {{0.5, 0.5}, {-0.5, -0.5}, {0.5, 0.5}, {0.5, 0.5}};
constexpr C kSwap[16] = {{1, 0}, {0, 0}, {0, 0}, {0, 0},  //
                         {0, 0}, {0, 0}, {1, 0}, {0, 0},  //
                         {0, 0}, {1, 0}, {0, 0}, {0, 0},  //
                         {0, 0}, {0, 0}, {0, 0}, {1, 0}};
constexpr C kISwap[16] = {{1, 0}, {0, 0}, {0, 0}, {0, 0},  //
                          {0, 0}, {0, 0}, {0, 1}, {0, 0},  //
                          {0, 0}, {0, 1}, {0, 0}, {0, 0},  //
                          {0, 0}, {0, 0}, {0, 0}, {1, 0}};

// Parameter k of a set, 0.0 when missing.
double param(const std::vector<double>& p, size_t k) { return p.size() > k ? p[k] : 0.0; }

}  // namespace

int gate_param_count(const std::string& name) {
    const std::string_view n = name;
    if (n == "RX" || n == "RY" || n == "RZ" || n == "P" || n == "U1" || n == "CRX" || n == "CRY" ||
        n == "CRZ" || n == "CP" || n == "CU1" || n == "ISINGZZ" || n == "IZZ" || n == "RXX" ||
        n == "RYY" || n == "RZZ")
        return 1;
    if (n == "R" || n == "U2" || n == "CU2") return 2;
    if (n == "U3" || n == "U" || n == "CU3") return 3;
    if (n == "CU") return 4;
    return 0;
}

GateMatrix constant_matrix_2x2(const C (&t)[4]) { return GateMatrix(t, t + 4); }
GateMatrix constant_matrix_4x4(const C (&t)[16]) { return GateMatrix(t, t + 16); }

GateMatrix rx_matrix(double theta) {
    const double c = std::cos(theta * kHalf), s = std::sin(theta * kHalf);
    return {{c, 0}, {0, -s}, {0, -s}, {c, 0}};
}

GateMatrix ry_matrix(double theta) {
    const double c = std::cos(theta * kHalf), s = std::sin(theta * kHalf);
    return {{c, 0}, {-s, 0}, {s, 0}, {c, 0}};
}

GateMatrix rz_matrix(double theta) {
    const double c = std::cos(theta * kHalf), s = std::sin(theta * kHalf);
    return {{c, -s}, {0, 0}, {0, 0}, {c, s}};
}

GateMatrix phase_matrix(double lambda) {
    return {{1, 0}, {0, 0}, {0, 0}, {std::cos(lambda), std::sin(lambda)}};
}

GateMatrix u2_matrix(double phi, double lambda) {
    const double sum = phi + lambda;
    return {{kH, 0},
            {kMinusH * std::cos(lambda), kMinusH * std::sin(lambda)},
            {kH * std::cos(phi), kH * std::sin(phi)},
            {kH * std::cos(sum), kH * std::sin(sum)}};
}

GateMatrix u3_matrix(double theta, double phi, double lambda) {
    const double c = std::cos(theta * kHalf), s = std::sin(theta * kHalf);
    const double sum = phi + lambda;
    return {{c, 0},
            {-(std::cos(lambda) * s), -(std::sin(lambda) * s)},
            {std::cos(phi) * s, std::sin(phi) * s},
            {std::cos(sum) * c, std::sin(sum) * c}};
}

GateMatrix rzz_matrix(double theta) {
    const double c = std::cos(theta * kHalf), s = std::sin(theta * kHalf);
    GateMatrix m(16);
    m[0] = {c, -s};
    m[5] = {c, s};
    m[10] = {c, s};
    m[15] = {c, -s};
    return m;
}

GateMatrix rxx_matrix(double theta) {
    const double c = std::cos(theta * kHalf), s = std::sin(theta * kHalf);
    GateMatrix m(16);
    m[0] = m[5] = m[10] = m[15] = {c, 0};
    m[3] = m[6] = m[9] = m[12] = {0, -s};
    return m;
}

GateMatrix ryy_matrix(double theta) {
    const double c = std::cos(theta * kHalf), s = std::sin(theta * kHalf);
    GateMatrix m(16);
    m[0] = m[5] = m[10] = m[15] = {c, 0};
    m[3] = m[12] = {0, s};
    m[6] = m[9] = {0, -s};
    return m;
}

GateMatrix gate_matrix(const std::string& name, const std::vector<double>& p) {
    const std::string_view n = name;
    if (n == "I" || n == "ID") return constant_matrix_2x2(kIdentity);
    if (n == "H") return constant_matrix_2x2(kHadamard);
    if (n == "X") return constant_matrix_2x2(kPauliX);
    if (n == "Y") return constant_matrix_2x2(kPauliY);
    if (n == "Z") return constant_matrix_2x2(kPauliZ);
    if (n == "S") return constant_matrix_2x2(kPhaseS);
    if (n == "SDG") return constant_matrix_2x2(kPhaseSdg);
    if (n == "T") return constant_matrix_2x2(kPhaseT);
    if (n == "TDG") return constant_matrix_2x2(kPhaseTdg);
    if (n == "SX") return constant_matrix_2x2(kSqrtX);
    if (n == "SY") return constant_matrix_2x2(kSqrtY);
    if (n == "RX") return rx_matrix(param(p, 0));
    if (n == "RY") return ry_matrix(param(p, 0));
    if (n == "RZ") return rz_matrix(param(p, 0));
    if (n == "P" || n == "U1") return phase_matrix(param(p, 0));
    if (n == "R") {
        const double theta = param(p, 0), phi = param(p, 1);
        const double c = std::cos(theta * kHalf), s = std::sin(theta * kHalf);
        const C neg_i_s(0, -s);
        return {{c, 0},
                neg_i_s * C(std::cos(phi), -std::sin(phi)),
                neg_i_s * C(std::cos(phi), std::sin(phi)),
                {c, 0}};
    }
    if (n == "U2") return u2_matrix(param(p, 0), param(p, 1));
    if (n == "U3" || n == "U") return u3_matrix(param(p, 0), param(p, 1), param(p, 2));
    if (n == "SWAP") return constant_matrix_4x4(kSwap);
    if (n == "ISWAP") return constant_matrix_4x4(kISwap);
    if (n == "RZZ" || n == "ISINGZZ" || n == "IZZ") return rzz_matrix(param(p, 0));
    if (n == "RXX") return rxx_matrix(param(p, 0));
    if (n == "RYY") return ryy_matrix(param(p, 0));
    throw std::runtime_error("Unknown gate: " + name);
}

GateMatrix controlled_base_matrix(const std::string& name, const std::vector<double>& p) {
    const std::string_view n = name;
    if (n == "CX" || n == "CNOT" || n == "CCX" || n == "TOFFOLI") return constant_matrix_2x2(kPauliX);
    if (n == "CY") return constant_matrix_2x2(kPauliY);
    if (n == "CZ") return constant_matrix_2x2(kPauliZ);
    if (n == "CH") return constant_matrix_2x2(kHadamard);
    if (n == "CSWAP") return constant_matrix_4x4(kSwap);
    if (n == "CRX") return rx_matrix(param(p, 0));
    if (n == "CRY") return ry_matrix(param(p, 0));
    if (n == "CRZ") return rz_matrix(param(p, 0));
    if (n == "CP" || n == "CU1") return phase_matrix(param(p, 0));
    if (n == "CU2") return u2_matrix(param(p, 0), param(p, 1));
    if (n == "CU3") return u3_matrix(param(p, 0), param(p, 1), param(p, 2));
    if (n == "CU") {
        const double theta = param(p, 0), phi = param(p, 1), lambda = param(p, 2), gamma = param(p, 3);
        const double c = std::cos(theta * kHalf), s = std::sin(theta * kHalf);
        const C eg(std::cos(gamma), std::sin(gamma));
        const C el(std::cos(lambda), std::sin(lambda));
        const C ep(std::cos(phi), std::sin(phi));
        const C es(std::cos(phi + lambda), std::sin(phi + lambda));
        return {c * eg, -s * (el * eg), s * (ep * eg), c * (es * eg)};
    }
    return gate_matrix(name, p);
}

GateMatrix dagger_matrix(const GateMatrix& m) {
    const int n = static_cast<int>(m.size());
    const int d = static_cast<int>(std::sqrt(static_cast<double>(n)));
    if (d * d != n) throw std::runtime_error("dagger_matrix: matrix is not square");
    GateMatrix out(static_cast<size_t>(d) * d);
    for (int i = 0; i < d; ++i)
        for (int j = 0; j < d; ++j) out[i * d + j] = std::conj(m[j * d + i]);
    return out;
}
