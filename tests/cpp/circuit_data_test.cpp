// Copy and destruction semantics of the circuit records.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include "circuit/circuit_data.h"

namespace py = pybind11;

namespace {

// A real interpreter, so that reference counts can be observed.
TEST(CircuitData, NullTensorAndImmortalObjectsKeepTheirCounts) {
    py::scoped_interpreter python;
    const CircuitData plain(1);
    EXPECT_EQ(CircuitData(plain).parameter_tensor, nullptr);

    PyObject* none = Py_None;
    const Py_ssize_t before = Py_REFCNT(none);
    {
        CircuitData c(1);
        c.parameter_tensor = none;  // immortal: the increment is a no-op
        CircuitData copy(c);
        EXPECT_EQ(Py_REFCNT(none), before);
    }
    EXPECT_EQ(Py_REFCNT(none), before);
}

TEST(CircuitData, CopyIsDeepAndKeepsOpaquePointer) {
    CircuitData c(4, "p");
    c.opaque_ptr = &c;
    c.opaque_int = 17;
    c.parameter_shape = {5, 6};
    CircuitInstruction a, b;
    a.name = "RX", a.params = 0.25;
    b.name = "U3", b.params = std::vector<double>{1.0, 2.0, 3.0};
    c.instructions = {a, b};
    c.parameters = {ParameterEntry{"p[0]", 1.5}};

    const CircuitData copy(c);
    EXPECT_EQ(copy.opaque_ptr, static_cast<void*>(&c));  // still the source's address
    EXPECT_EQ(copy.opaque_int, 17);
    EXPECT_EQ(copy.parameter_shape, (std::vector<int64_t>{5, 6}));
    ASSERT_EQ(copy.instructions.size(), 2u);
    EXPECT_EQ(copy.instructions[0].params, ParamValue(0.25));  // the double alternative
    const auto& v = std::get<std::vector<double>>(copy.instructions[1].params);
    EXPECT_EQ(v, (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_NE(v.data(), std::get<std::vector<double>>(c.instructions[1].params).data());
    EXPECT_EQ(copy.parameters[0].value, ParamValue(1.5));
}

}  // namespace
