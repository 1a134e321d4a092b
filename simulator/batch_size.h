// Number of parameter sets a circuit carries (0 = not batched).
#pragma once

#include <cstdint>

#include "circuit/circuit_data.h"

int32_t circuit_batch_size(const CircuitData& circuit);
