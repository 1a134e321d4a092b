// What a call will need, in bytes, added up before it allocates, and the
// checks against what the process can still obtain.  Linux overcommits, so an
// allocation the machine or the container cannot back may still succeed and
// the process be killed when it writes the pages; a call that compares first
// raises a clean error instead.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>

#include "circuit/available_memory.h"
#include "circuit/circuit_data.h"

// What glibc's malloc takes for a block of `size` bytes: the size and its
// 8-byte header rounded up to 16, at least 32; nothing for size 0.
inline uint64_t heap_block_bytes(uint64_t size) {
    return size == 0 ? 0 : std::max<uint64_t>(32, saturating_add(size, 8 + 15) & ~uint64_t{15});
}

// std::bad_alloc (MemoryError in Python) when `need` bytes cannot be obtained.
inline void require_memory(uint64_t need) {
    if (!memory_fits(need)) throw std::bad_alloc();
}

// Memory a call takes step by step (map entries, strings) whose total is not
// known in advance.  Once kMemoryCheckThreshold bytes have been taken, and
// again after every further such slice, it looks whether the next slice can
// be had and throws std::bad_alloc when it cannot.
struct MemoryGrowth {
    uint64_t taken = 0;
    uint64_t next_look = kMemoryCheckThreshold;

    void add(uint64_t bytes) {
        taken = saturating_add(taken, bytes);
        if (taken < next_look) return;
        require_memory(kMemoryCheckThreshold);
        next_look = saturating_add(taken, kMemoryCheckThreshold);
    }
};

// Bytes of one CircuitInstruction held in a vector: the record itself and the
// heap blocks of its targets, controls, matrix and a parameter name longer
// than a string holds inline.
inline uint64_t instruction_bytes(uint64_t targets, uint64_t controls, uint64_t matrix_entries = 0,
                                  uint64_t param_name_length = 0) {
    uint64_t bytes = sizeof(CircuitInstruction);
    bytes = saturating_add(bytes, heap_block_bytes(saturating_mul(targets, sizeof(int))));
    bytes = saturating_add(bytes, heap_block_bytes(saturating_mul(controls, sizeof(int))));
    bytes = saturating_add(bytes, heap_block_bytes(saturating_mul(matrix_entries, sizeof(std::complex<double>))));
    if (param_name_length > 15) bytes = saturating_add(bytes, heap_block_bytes(param_name_length + 1));
    return bytes;
}

// A builder's CircuitData is returned by value and copied into the Python
// object that owns it from then on: at the peak, its contents exist twice.
inline constexpr uint64_t returned_record_copies = 2;
