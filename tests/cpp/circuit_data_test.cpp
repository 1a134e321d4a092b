// Copy and destruction semantics of the circuit records, with a real
// interpreter so that reference counts can be observed.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include "circuit/circuit_data.h"

namespace py = pybind11;

namespace {

class CircuitDataTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { interpreter_ = new py::scoped_interpreter(); }
    static void TearDownTestSuite() {
        delete interpreter_;
        interpreter_ = nullptr;
    }
    static py::scoped_interpreter* interpreter_;
};
py::scoped_interpreter* CircuitDataTest::interpreter_ = nullptr;

TEST_F(CircuitDataTest, NullTensorAndImmortalObjectsKeepTheirCounts) {
    CircuitData plain(1);
    CircuitData plain_copy(plain);
    EXPECT_EQ(plain_copy.parameter_tensor, nullptr);

    PyObject* none = Py_None;  // immortal
    const Py_ssize_t before = Py_REFCNT(none);
    {
        CircuitData c(1);
        c.parameter_tensor = none;  // immortal: the increment is a no-op
        CircuitData copy(c);
        EXPECT_EQ(Py_REFCNT(none), before);
    }
    EXPECT_EQ(Py_REFCNT(none), before);
}

TEST_F(CircuitDataTest, CopyIsDeepAndKeepsOpaquePointer) {
    CircuitData c(4, "p");
    c.opaque_ptr = &c;
    c.opaque_int = 17;
    c.parameter_shape = {5, 6};
    CircuitInstruction a;
    a.name = "RX";
    a.params = 0.25;
    CircuitInstruction b;
    b.name = "U3";
    b.params = std::vector<double>{1.0, 2.0, 3.0};
    c.instructions = {a, b};
    c.parameters = {ParameterEntry{"p[0]", 1.5}};

    CircuitData copy(c);
    EXPECT_EQ(copy.opaque_ptr, static_cast<void*>(&c));  // still the source's address
    EXPECT_EQ(copy.opaque_int, 17);
    EXPECT_EQ(copy.parameter_shape, (std::vector<int64_t>{5, 6}));
    ASSERT_EQ(copy.instructions.size(), 2u);
    ASSERT_TRUE(std::holds_alternative<double>(copy.instructions[0].params));
    EXPECT_EQ(std::get<double>(copy.instructions[0].params), 0.25);
    auto& v = std::get<std::vector<double>>(copy.instructions[1].params);
    EXPECT_EQ(v, (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_NE(v.data(), std::get<std::vector<double>>(c.instructions[1].params).data());
    EXPECT_EQ(std::get<double>(copy.parameters[0].value), 1.5);
}

}  // namespace
