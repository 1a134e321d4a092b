// The module `ostrevel`: n-local circuits as CircuitData records, whose Python
// type circuit_records registers.
#include <pybind11/pybind11.h>

#include "nlocal/n_local.h"

PYBIND11_MODULE(ostrevel, m) { m.def("build_n_local_data", &build_n_local_data, "Build n-local circuit data in C++"); }
