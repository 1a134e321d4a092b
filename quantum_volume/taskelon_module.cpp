// The module `taskelon`: quantum-volume operation lists.  The results are
// lists of CircuitInstruction objects, whose Python type circuit_records
// registers.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "quantum_volume/qv_op_list.h"

PYBIND11_MODULE(taskelon, m) {
    m.def("build_qv_op_list", &build_qv_op_list, "Ultra-fast QV operation list generator.");
    m.def("build_qv_op_list_ultra", &build_qv_op_list_ultra,
          "Ultra QV operation list generator with thread-local RNG.");
}
