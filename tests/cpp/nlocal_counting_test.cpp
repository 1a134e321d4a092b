// N-local counting: the closed-form totals against what the layers actually
// place, for every table gate and entanglement type on small circuits, and
// the oversized requests that the counts answer before anything is built.
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include "nlocal/counting.h"
#include "nlocal/gate_tables.h"
#include "nlocal/layers.h"
#include "nlocal/n_local.h"
#include "tests/cpp/error_text.h"

namespace {

const std::vector<std::string> kTypes = {"full", "linear", "reverse_linear", "pairwise", "circular"};

// Every gate that can be placed: the names with a qubit count.
std::vector<std::string> table_gates() {
    std::vector<std::string> names;
    for (const auto& entry : gate_qubit_counts) names.push_back(entry.first);
    return names;
}

// Runs the layers of `r` on a record with ample parameter entries and returns
// what they placed: the parameter entries taken and the instructions.
LayerCount placed(const NLocalRequest& r) {
    CircuitData data(r.num_qubits, "p");
    data.parameters.resize(4096);
    int index = 0;
    for (int i = 0; i < r.reps; ++i) {
        index = append_rotation_layer(data, r.rotation_names, index);
        index = append_entanglement_layer(data, r.entanglement_names, r.entanglement_types, index);
    }
    if (r.final_rotation_layer) index = append_rotation_layer(data, r.rotation_names, index);
    return {index, data.instructions.size()};
}

// Zero qubits and a parameterised window-type block: counted -1 per layer
// although nothing is placed, so the builder reports the mismatch.
bool counted_below_zero(const NLocalRequest& r) {
    if (r.num_qubits != 0) return false;
    for (size_t i = 0; i < r.entanglement_names.size(); ++i) {
        const std::string& name = r.entanglement_names[i];
        const std::string& type = r.entanglement_types[i];
        if (table_qubit_count(name) == 2 && table_param_count(name) >= 1 &&
            (type == "linear" || type == "reverse_linear" || type == "pairwise"))
            return true;
    }
    return false;
}

// The closed form against the placed count, and the builder's outcome.
void expect_counts_match(const NLocalRequest& r, const std::string& what) {
    const LayerCount counted = count_n_local(r);
    const LayerCount actual = placed(r);
    EXPECT_EQ(counted.instructions, actual.instructions) << what;
    if (!counted_below_zero(r)) {
        EXPECT_EQ(counted.parameters, actual.parameters) << what;
        const CircuitData built = build_n_local(r, "p");
        EXPECT_EQ(built.instructions.size(), actual.instructions) << what;
        return;
    }
    EXPECT_EQ(actual.parameters, 0) << what;
    EXPECT_LE(counted.parameters, -r.reps) << what;
    if (r.reps > 0) {
        EXPECT_EQ(error_text([&] { build_n_local(r, "p"); }), "Parameters count mismatch") << what;
    }
}

TEST(NLocalCounting, ClosedFormEqualsPlacedCountForEveryGateAndType) {
    for (const std::string& gate : table_gates())
        for (int n = 0; n <= 8; ++n)
            for (int reps = 0; reps <= 3; ++reps) {
                for (bool final_layer : {false, true}) {
                    const NLocalRequest rotation{n, {gate}, {}, {}, reps, final_layer};
                    expect_counts_match(rotation, "rotation " + gate + " n " + std::to_string(n));
                }
                for (const std::string& type : kTypes) {
                    const NLocalRequest entanglement{n, {}, {gate}, {type}, reps, false};
                    expect_counts_match(entanglement,
                                        "entanglement " + gate + " " + type + " n " + std::to_string(n));
                }
            }
}

TEST(NLocalCounting, ClosedFormEqualsPlacedCountForMixedLayers) {
    const std::vector<std::string> gates = table_gates();
    for (size_t shift = 0; shift < kTypes.size(); ++shift) {
        // Every table gate in both layers, each entanglement block with another type.
        NLocalRequest r{0, gates, gates, {}, 0, true};
        for (size_t i = 0; i < gates.size(); ++i) r.entanglement_types.push_back(kTypes[(i + shift) % kTypes.size()]);
        for (int n = 1; n <= 8; ++n)
            for (int reps = 0; reps <= 3; ++reps) {
                r.num_qubits = n;
                r.reps = reps;
                expect_counts_match(r, "mixed n " + std::to_string(n) + " reps " + std::to_string(reps));
            }
    }
}

TEST(NLocalCounting, OversizedRequestsAreAnsweredFromTheCounts) {
    const int most = INT_MAX;
    // One parameterised rotation block on 2^31 - 1 qubits, counted twice.
    EXPECT_EQ(count_n_local({most, {"RY"}, {}, {}, 1, false}).parameters, most);
    EXPECT_THROW(count_n_local({most, {"RY"}, {}, {}, 1, true}), std::invalid_argument);
    EXPECT_THROW(count_n_local({most, {"RY"}, {"CRX"}, {"circular"}, 1, false}), std::invalid_argument);
    // The layer's count overflows before the unknown name of the next block is looked up ...
    EXPECT_THROW(count_n_local({most, {"RX", "RY", "NOPE"}, {}, {}, 0, false}), std::invalid_argument);
    // ... but a name that comes first fails first.
    EXPECT_THROW(count_n_local({most, {"RX", "NOPE", "RY"}, {}, {}, 0, false}), std::out_of_range);
    // Pairs: half the qubits; the instruction count is still exact.
    EXPECT_EQ(count_n_local({most, {"SWAP", "CX"}, {}, {}, 3, true}).instructions, 4ull * (most / 2) * 2);
    // Zero qubits, 2^31 - 1 repetitions of nothing: an empty circuit.
    const CircuitData empty = build_n_local({0, {"RY"}, {"CX", "H"}, {"linear"}, most, true}, "p");
    EXPECT_TRUE(empty.instructions.empty() && empty.parameters.empty());
    EXPECT_EQ(error_text([&] { build_n_local({0, {}, {"CRZ"}, {"pairwise"}, most, false}, "p"); }),
              "Parameters count mismatch");
    EXPECT_THROW(build_n_local({0, {}, {"CRZ", "CRX"}, {"linear", "linear"}, most, false}, "p"),
                 std::invalid_argument);  // -2 * (2^31 - 1) does not fit
    // An unknown type is still rejected by the first (and only) repetition.
    EXPECT_EQ(error_text([&] { build_n_local({0, {}, {"CX"}, {"ring"}, most, false}, "p"); }),
              "entanglement type ring not supported");
}

}  // namespace
