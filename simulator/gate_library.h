// Gate vocabulary of the simulator: parameter counts, dense matrices and the
// conjugate transpose.  Every function is pure and thread-safe.
#pragma once

#include <complex>
#include <string>
#include <vector>

// Row-major dense matrix: 4 entries (one qubit) or 16 (two qubits).  For 4x4
// the index is b0 + 2*b1, b0 the bit of the first target.
using GateMatrix = std::vector<std::complex<double>>;

// Number of parameters a gate name takes (0 for fixed gates and unknown names).
int gate_param_count(const std::string& name);

// GateMatrix of an uncontrolled gate; throws std::runtime_error "Unknown gate: "+name.
GateMatrix gate_matrix(const std::string& name, const std::vector<double>& params);

// GateMatrix on the targets only: controlled names give their base gate.
GateMatrix controlled_base_matrix(const std::string& name, const std::vector<double>& params);

// Conjugate transpose of a square row-major matrix.
GateMatrix dagger_matrix(const GateMatrix& m);

// Builders (each returns a fresh matrix).
GateMatrix constant_matrix_2x2(const std::complex<double> (&table)[4]);
GateMatrix constant_matrix_4x4(const std::complex<double> (&table)[16]);
GateMatrix rx_matrix(double theta);
GateMatrix ry_matrix(double theta);
GateMatrix rz_matrix(double theta);
GateMatrix phase_matrix(double lambda);
GateMatrix u2_matrix(double phi, double lambda);
GateMatrix u3_matrix(double theta, double phi, double lambda);
GateMatrix rzz_matrix(double theta);
GateMatrix rxx_matrix(double theta);
GateMatrix ryy_matrix(double theta);
