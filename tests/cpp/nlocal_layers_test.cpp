// N-local layers: the tuple list of every entanglement type against tuples
// written out from their definitions, the instruction form, and what the
// layers look up and reject.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "nlocal/layers.h"
#include "tests/cpp/error_text.h"

namespace {

using Tuples = std::vector<std::vector<int>>;

// Every ascending k-subset of first .. n - 1 extending `prefix`.
void subsets(int first, int k, int n, std::vector<int>& prefix, Tuples& out) {
    if (static_cast<int>(prefix.size()) == k) {
        out.push_back(prefix);
        return;
    }
    for (int q = first; q < n; ++q) {
        prefix.push_back(q);
        subsets(q + 1, k, n, prefix, out);
        prefix.pop_back();
    }
}

// The window of k qubits from s, taken around a ring of n qubits.
std::vector<int> window(int s, int k, int n) {
    std::vector<int> w;
    for (int j = 0; j < k; ++j) w.push_back((s + j) % n);
    return w;
}

// The tuples of each type as its definition states them.
Tuples expected_tuples(Entanglement kind, int k, int n) {
    Tuples out;
    std::vector<int> prefix;
    if (kind == Entanglement::full) {
        subsets(0, k, n, prefix, out);
        std::sort(out.rbegin(), out.rend());  // descending lexicographic order
    }
    if (kind == Entanglement::linear || kind == Entanglement::reverse_linear)
        for (int s = 0; s + k <= n; ++s) out.push_back(window(s, k, n));
    if (kind == Entanglement::reverse_linear) std::reverse(out.begin(), out.end());
    if (kind == Entanglement::pairwise)  // pairs from even qubits, then from odd ones
        for (int parity : {0, 1})
            for (int s = parity; s + 1 < n; s += 2) out.push_back({s, s + 1});
    if (kind == Entanglement::circular) {  // windows that wrap around first, then the others
        for (int s = 0; s < n; ++s)
            if (s + k > n) out.push_back(window(s, k, n));
        for (int s = 0; s + k <= n; ++s) out.push_back(window(s, k, n));
    }
    if (kind == Entanglement::per_qubit)
        for (int q = 0; q < n; ++q) out.push_back({q});
    return out;
}

Tuples split(const std::vector<int>& flat, int k) {
    Tuples out;
    for (size_t t = 0; t < flat.size(); t += static_cast<size_t>(k))
        out.emplace_back(flat.begin() + static_cast<long>(t), flat.begin() + static_cast<long>(t + k));
    return out;
}

TEST(EntanglementTuples, EveryTypeMatchesItsDefinition) {
    struct Case { Entanglement kind; std::vector<int> sizes; };
    for (const Case& c : std::vector<Case>{{Entanglement::per_qubit, {1}},
                                           {Entanglement::full, {2, 3}},
                                           {Entanglement::linear, {2, 3}},
                                           {Entanglement::reverse_linear, {2, 3}},
                                           {Entanglement::pairwise, {2}},
                                           {Entanglement::circular, {2, 3}}})
        for (int k : c.sizes)
            for (int n = 0; n <= 9; ++n) {
                const Tuples expected = expected_tuples(c.kind, k, n);
                EXPECT_EQ(split(entanglement_tuples(c.kind, k, n), k), expected)
                    << "kind " << static_cast<int>(c.kind) << " k " << k << " n " << n;
                // The counting formula is the tuple count wherever a tuple can exist.
                if (n >= k - 1) {
                    EXPECT_EQ(entanglement_tuple_count(c.kind, k, n), static_cast<int>(expected.size()))
                        << "kind " << static_cast<int>(c.kind) << " k " << k << " n " << n;
                }
            }
    EXPECT_TRUE(entanglement_tuples(Entanglement::unknown, 2, 5).empty());
    EXPECT_EQ(entanglement_tuple_count(Entanglement::unknown, 2, 5), 0);
    EXPECT_EQ(entanglement_tuple_count(Entanglement::linear, 2, 0), -1);  // no tuples, yet counted -1
    EXPECT_EQ(entanglement_tuple_count(Entanglement::full, 2, 46341), 1073720970);
    EXPECT_THROW(entanglement_tuple_count(Entanglement::full, 2, 46342), std::invalid_argument);
}

TEST(EntanglementTuples, BlockTypeIsReadOnlyForLargerBlocks) {
    const std::vector<std::string> types = {"full", "linear", "reverse_linear", "pairwise", "circular",
                                            "Full", "full ", ""};
    const Entanglement kinds[] = {Entanglement::full,     Entanglement::linear,  Entanglement::reverse_linear,
                                  Entanglement::pairwise, Entanglement::circular, Entanglement::unknown,
                                  Entanglement::unknown,  Entanglement::unknown};
    for (size_t i = 0; i < types.size(); ++i) {
        EXPECT_EQ(block_entanglement(types, i, "CX", 2), kinds[i]) << types[i];
        EXPECT_EQ(block_entanglement(types, i, "RY", 1), Entanglement::per_qubit) << types[i];
    }
    EXPECT_EQ(block_entanglement({}, 3, "RY", 1), Entanglement::per_qubit);  // never read
    EXPECT_THROW(block_entanglement(types, types.size(), "CX", 2), std::invalid_argument);
}

// A record of n qubits with `entries` named parameters p[0], p[1], ...
CircuitData record(int n, int entries) {
    CircuitData data(n, "p");
    for (int i = 0; i < entries; ++i) data.parameters.push_back({"p[" + std::to_string(i) + "]", {}});
    return data;
}

// (name, controls..., target, param_name) of every instruction.
std::vector<std::string> describe(const CircuitData& data) {
    std::vector<std::string> out;
    for (const CircuitInstruction& ins : data.instructions) {
        std::string s = ins.name;
        for (int c : ins.controls) s += " " + std::to_string(c);
        for (int t : ins.targets) s += " " + std::to_string(t);
        s += " " + ins.param_name + (ins.parameterized ? "*" : "");
        out.push_back(s);
    }
    return out;
}

TEST(Layers, InstructionsAndParameterIndices) {
    CircuitData data = record(5, 20);
    // The index carries on from where the caller left it.
    EXPECT_EQ(append_rotation_layer(data, {"RY", "RXX", "CZ"}, 3), 10);
    EXPECT_EQ(append_entanglement_layer(data, {"CRZ", "H", "U3"}, {"circular", "bogus", "bogus"}, 10), 20);
    EXPECT_EQ(describe(data),
              (std::vector<std::string>{"RY 0 p[3]*", "RY 1 p[4]*", "RY 2 p[5]*", "RY 3 p[6]*", "RY 4 p[7]*",
                                        "RXX 0 1 p[8]*", "RXX 2 3 p[9]*", "CZ 0 1 ", "CZ 2 3 ",
                                        "CRZ 4 0 p[10]*", "CRZ 0 1 p[11]*", "CRZ 1 2 p[12]*", "CRZ 2 3 p[13]*",
                                        "CRZ 3 4 p[14]*", "H 0 ", "H 1 ", "H 2 ", "H 3 ", "H 4 ",
                                        "U3 0 p[15]*", "U3 1 p[16]*", "U3 2 p[17]*", "U3 3 p[18]*",
                                        "U3 4 p[19]*"}));
    // Too few entries: refused instead of read past the end.
    CircuitData short_record = record(3, 2);
    EXPECT_EQ(error_text([&] { append_rotation_layer(short_record, {"RX"}, 0); }), "Parameters count mismatch");
}

TEST(Layers, LookupsAndRejections) {
    CircuitData empty = record(0, 0);
    EXPECT_EQ(append_rotation_layer(empty, {"NOT_A_GATE"}, 0), 0);  // nothing looked up on zero qubits
    EXPECT_THROW(append_entanglement_layer(empty, {"CY"}, {"full"}, 0), std::out_of_range);
    EXPECT_EQ(error_text([&] { append_entanglement_layer(empty, {"CX"}, {"ring"}, 0); }),
              "entanglement type ring not supported");
    CircuitData data = record(3, 10);
    EXPECT_THROW(append_rotation_layer(data, {"RY", "CU1"}, 0), std::out_of_range);
    EXPECT_THROW(append_entanglement_layer(data, {"RY", "CX"}, {"linear"}, 0), std::invalid_argument);
    // Earlier blocks stay appended; an unknown type appends nothing of its block.
    data.instructions.clear();
    EXPECT_EQ(error_text([&] { append_entanglement_layer(data, {"CX", "CZ"}, {"linear", "Linear"}, 0); }),
              "entanglement type Linear not supported");
    EXPECT_EQ(describe(data), (std::vector<std::string>{"CX 0 1 ", "CX 1 2 "}));
}

}  // namespace
