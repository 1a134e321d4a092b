// Exchange of physical index bits: amplitude i moves to sigma(i), sigma
// swapping the bits a_k and b_k of i for every pair at once.  The layout
// changes of the cache-blocked runs use it; it moves amplitudes and computes
// none, so it is exact.
//
// sigma is an involution, so the exchange runs in place in one pass: every
// orbit {i, sigma(i)}, i != sigma(i), is swapped once, by one thread, and
// fixed points are never visited.  No position lies below 3, so the blocks of
// 2^lo amplitudes below the lowest exchanged position lo (capped at 2^10)
// move whole, in registers.
//
// Number the pairs by their lower member, lowest first.  A block is (tile, L,
// H): the tile fixes the index bits outside the pairs (at or above the
// block), bit j of L is the block's bit at the lower member of pair j and bit
// j of H the one at the higher member; sigma maps (L, H) to (H, L), and the
// orbit is taken from the block with L > H.  The (H, L) square of a tile is
// walked in squares of side b: square (I, J), J >= I, holds rows H of I and
// columns L of J.  Its blocks form runs of b consecutive blocks (L varies
// over the lowest lower members) in b regions, and their images such runs in
// b other regions: with b x block near 1 KB, a square touches a few dozen
// pages and DRAM rows and fits in L2, where a walk along whole rows of the
// tile would send every step to another region, through a few cache sets.
// A thread's share is a run of squares (tile-major).
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "statevector/prefetch.h"
#include "statevector/simd.h"
#include "statevector/state_vector.h"

namespace sv_detail {

// Largest block moved as one run: 2^10 amplitudes (8 KB of doubles), so that
// an exchange of high positions still has blocks for every thread.
inline constexpr int kExchangeBlockBits = 10;
// Bytes of one run of a square: b blocks; blocks hold at least 32 bytes.
inline constexpr uint64_t kExchangeRunBytes = 1024;
inline constexpr uint64_t kExchangeMaxSide = kExchangeRunBytes / 32;

struct BitExchangeRecord {
    int pairs = 0;           // m
    uint64_t low_mask = 0;   // lower members
    int high_pos[32];        // higher member of pair j (pairs by lower member)
    uint64_t tile_free = 0;  // index bits outside the pairs, at or above the block
    uint64_t block = 0;      // amplitudes per block
    uint64_t side = 1;       // b, a power of two up to 2^m
    uint64_t squares = 0;    // S = 2^m / b squares along a side
    uint64_t low_run[kExchangeMaxSide];   // index bits of L = v < b at the lower members
    uint64_t high_run[kExchangeMaxSide];  // and of H = v < b at the higher members
    uint64_t per_tile = 0;   // squares (I, J) of a tile: J >= I, J > I when b = 1 (no pair inside)
    int64_t count = 0;       // squares of the state

    uint64_t low_place(uint64_t v) const { return _pdep_u64(v, low_mask); }
    uint64_t high_place(uint64_t v) const {
        uint64_t x = 0;
        for (int j = 0; j < pairs; ++j) x |= ((v >> j) & 1) << high_pos[j];
        return x;
    }
    // Squares of a tile in the rows before row I.
    uint64_t squares_before(uint64_t row) const {
        const uint64_t per_first_row = side == 1 ? squares - 1 : squares;
        return row * per_first_row - row * (row - 1) / 2;
    }
};

// Validates the pairs (disjoint, every position in 3 .. n - 1) and builds the
// record for amplitudes of `bytes` bytes; throws std::invalid_argument
// otherwise.
inline BitExchangeRecord bit_exchange_record(int n, const std::vector<std::pair<int, int>>& pairs, uint64_t bytes) {
    uint64_t used = 0;
    std::vector<std::pair<int, int>> sorted;  // (low, high)
    for (const auto& [a, b] : pairs) {
        for (int p : {a, b}) {
            if (p < 3 || p >= n)
                throw std::invalid_argument("exchange_index_bits: position " + std::to_string(p) +
                                            " outside 3.." + std::to_string(n - 1));
            if ((used >> p) & 1) throw std::invalid_argument("exchange_index_bits: position " + std::to_string(p) +
                                                             " appears twice");
            used |= uint64_t{1} << p;
        }
        sorted.emplace_back(std::min(a, b), std::max(a, b));
    }
    BitExchangeRecord rec;
    if (sorted.empty()) return rec;
    std::sort(sorted.begin(), sorted.end());
    const int m = rec.pairs = static_cast<int>(sorted.size());
    for (int j = 0; j < m; ++j) {
        rec.low_mask |= uint64_t{1} << sorted[j].first;
        rec.high_pos[j] = sorted[j].second;
    }
    rec.block = uint64_t{1} << std::min(sorted[0].first, kExchangeBlockBits);
    rec.tile_free = (uint64_t{1} << n) - rec.block - used;  // bits from the block up, less the pairs
    const uint64_t block_bytes = rec.block * bytes;
    const int side_bits = block_bytes >= kExchangeRunBytes ? 0 : std::countr_zero(kExchangeRunBytes / block_bytes);
    rec.side = uint64_t{1} << std::min(side_bits, m);
    rec.squares = (uint64_t{1} << m) / rec.side;
    for (uint64_t v = 0; v < rec.side; ++v) {
        rec.low_run[v] = rec.low_place(v);
        rec.high_run[v] = rec.high_place(v);
    }
    rec.per_tile = rec.squares_before(rec.squares);
    rec.count = static_cast<int64_t>(rec.per_tile << std::popcount(rec.tile_free));
    return rec;
}

// Walk over the block pairs of a run of squares: a is the first amplitude of
// block (L, H), L > H, and b that of its image (H, L).
struct BitExchangeCursor {
    const BitExchangeRecord* rec;
    uint64_t square;  // index of the current square in the state
    uint64_t tile, row, col, h, l;
    uint64_t tile_bits, a_base, b_base;
    uint64_t a, b;

    BitExchangeCursor(const BitExchangeRecord& r, uint64_t s) : rec(&r), square(s) {
        tile = s / r.per_tile;
        const uint64_t w = s % r.per_tile;
        uint64_t lo = 0, hi = r.squares;  // the last row whose first square is at or before w
        while (hi - lo > 1) {
            const uint64_t mid = (lo + hi) / 2;
            (r.squares_before(mid) <= w ? lo : hi) = mid;
        }
        row = lo;
        col = row + (w - r.squares_before(row)) + (r.side == 1 ? 1 : 0);
        tile_bits = _pdep_u64(tile, r.tile_free);
        enter_square();
    }

    // First pair of the square: (h, l) = (0, 0), or (0, 1) on the diagonal.
    [[gnu::always_inline]] void enter_square() {
        const BitExchangeRecord& r = *rec;
        const uint64_t rows = row * r.side, cols = col * r.side;
        a_base = tile_bits | r.low_place(cols) | r.high_place(rows);
        b_base = tile_bits | r.low_place(rows) | r.high_place(cols);
        h = 0;
        l = row == col ? 1 : 0;
        place();
    }

    [[gnu::always_inline]] void place() {
        a = a_base | rec->low_run[l] | rec->high_run[h];
        b = b_base | rec->low_run[h] | rec->high_run[l];
    }

    [[gnu::always_inline]] void next() {
        const BitExchangeRecord& r = *rec;
        const bool diagonal = row == col;
        if (++l == r.side) {
            if (++h == r.side - (diagonal ? 1 : 0)) {
                next_square();
                return;
            }
            l = diagonal ? h + 1 : 0;
        }
        place();
    }

    void next_square() {
        const BitExchangeRecord& r = *rec;
        ++square;
        if (r.squares == 1) {  // one square per tile (b = 2^m): only the tile changes
            a_base = b_base = tile_bits = _pdep_u64(++tile, r.tile_free);
            h = 0;
            l = 1;
            place();
            return;
        }
        if (++col == r.squares) {
            ++row;
            col = row + (r.side == 1 ? 1 : 0);
            if (col == r.squares) {
                row = 0;
                col = r.side == 1 ? 1 : 0;
                tile_bits = _pdep_u64(++tile, r.tile_free);
            }
        }
        enter_square();
    }
};

// Swaps the block pairs of the squares first .. first + count - 1, Regs
// registers of each stream per step (two: a 64-byte line; one for blocks of a
// single float register).  A second cursor runs kPrefetchBytes of each stream
// ahead and prefetches both blocks' lines in both arrays while it stays in
// the share.
template <typename T, int Regs>
inline void exchange_block_pairs(T* re, T* im, const BitExchangeRecord& rec, int64_t first, int64_t count) {
    using S = Simd<T>;
    using V = typename S::V;
    constexpr uint64_t step = Regs * S::lanes;  // amplitudes per step
    constexpr uint64_t ahead = kPrefetchBytes / (step * sizeof(T));  // steps
    const uint64_t end = static_cast<uint64_t>(first + count);
    BitExchangeCursor cur(rec, static_cast<uint64_t>(first)), pre = cur;
    uint64_t offset = 0;  // of the prefetch cursor inside its block
    const auto advance = [&rec, &pre, &offset]() {
        offset += step;
        if (offset == rec.block) {
            offset = 0;
            pre.next();
        }
    };
    for (uint64_t k = 0; k < ahead && pre.square < end; ++k) advance();
    while (cur.square < end) {
        T* const r0 = re + cur.a;
        T* const i0 = im + cur.a;
        T* const r1 = re + cur.b;
        T* const i1 = im + cur.b;
        for (uint64_t o = 0; o < rec.block; o += step) {
            if (pre.square < end) {
                prefetch_register(re + pre.a + offset);
                prefetch_register(im + pre.a + offset);
                prefetch_register(re + pre.b + offset);
                prefetch_register(im + pre.b + offset);
                advance();
            }
            V x0[Regs], y0[Regs], x1[Regs], y1[Regs];
            for (int u = 0; u < Regs; ++u) {
                const uint64_t j = o + u * S::lanes;
                x0[u] = S::load(r0 + j);
                y0[u] = S::load(i0 + j);
                x1[u] = S::load(r1 + j);
                y1[u] = S::load(i1 + j);
            }
            for (int u = 0; u < Regs; ++u) {
                const uint64_t j = o + u * S::lanes;
                S::store(r0 + j, x1[u]);
                S::store(i0 + j, y1[u]);
                S::store(r1 + j, x0[u]);
                S::store(i1 + j, y0[u]);
            }
        }
        cur.next();
    }
}

}  // namespace sv_detail

// Exchanges the physical index bits a_k <-> b_k of every pair at once: the
// amplitude at index i moves to sigma(i).  Pairs are disjoint and every
// position lies in 3 .. num_qubits - 1 (std::invalid_argument otherwise); an
// empty list changes nothing.  One pass over the moving blocks, each thread a
// contiguous share of the squares.
template <typename T>
void exchange_index_bits(StateVector<T>& sv, const std::vector<std::pair<int, int>>& pairs) {
    const sv_detail::BitExchangeRecord rec = sv_detail::bit_exchange_record(sv.num_qubits, pairs, sizeof(T));
    if (rec.count == 0) return;
    T* const re = sv.real;
    T* const im = sv.imag;
    const bool line = rec.block >= 2 * sv_detail::Simd<T>::lanes;
    launch_kernel(sv.num_qubits, rec.count, [&](int64_t first, int64_t count) {
        if (line) sv_detail::exchange_block_pairs<T, 2>(re, im, rec, first, count);
        else sv_detail::exchange_block_pairs<T, 1>(re, im, rec, first, count);
    });
}
