// Seeding of the std::mt19937 engines of brenvik and dulmire, which link no
// common library: a non-negative seed is used as its unsigned 32-bit value; a
// negative one takes one value from std::random_device("default"), so every
// such engine starts a fresh, unreproducible stream.
#pragma once

#include <cstdint>
#include <random>

// The seed that asks for the system random source.
inline constexpr int seed_from_device = -1;

inline std::mt19937 seeded_engine(int seed) {
    if (seed >= 0) return std::mt19937(static_cast<uint32_t>(seed));
    std::random_device device("default");  // closed again on return
    return std::mt19937(device());
}
