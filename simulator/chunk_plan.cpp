// Chunk-pass planning.
//
// Runs.  An exchange step can change any number of qubits at once, so the
// fewest runs come from cutting the gates into the longest pieces whose pair
// qubits (above 2) number at most chunk_bits - 3, forward or backward.  A
// first piece that fits the identity layout needs no exchange before it, and
// a last one none after it, so pieces cut at the end of the longest identity
// prefix and at the start of the longest identity suffix are tried too; the
// plan with the fewest passes (then the fewest moved positions) wins.
//
// Exchanges.  A layout L (logical -> physical) goes to X o L in one step, X an
// involution of positions.  With r runs, the plan needs at least the r - 1
// changes between them, plus one to leave and one to return to the identity
// unless the first or last run fits it.  Layouts are built forward from the
// identity at the start (F) and backward from the identity at the end (B),
// each change taking one step.  The two halves meet at a run s whose layout
// L must follow F[s - 1] by one step X and precede B[s + 1] by one step Z:
// Z o X = Q = B[s + 1] o F[s - 1]^-1.  Every cycle c_0 -> c_1 -> ... of Q
// splits as X(c_i) = c_(j - i), Z(c_i) = c_(j + 1 - i) for one of its k axes
// j, and fixed points of Q may be swapped in pairs (X = Z there); the axes are
// picked per cycle so that run s's qubits land below chunk_bits, with the
// fewest moves.  Every run s is tried as the meeting point, then, within a
// budget, with a random one-step change (a fixed generator: the same plan on
// every machine) in place of the one into the run before or after it; when
// none fits, the forward layouts run to the end and the identity comes back
// in two steps (any permutation is a product of two involutions).
//
// A change in a half first tries the same split towards the identity (its
// layout then stays an involution, which helps the halves meet), else swaps
// each needed qubit outside with an unneeded one inside, the one used
// furthest away first (Belady), preferring swaps that send one of the two
// home.
#include "simulator/chunk_plan.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

using Mask = uint64_t;
using Pairs = std::vector<std::pair<int, int>>;
using Layout = std::vector<int>;  // physical position of each logical qubit
constexpr size_t kNever = std::numeric_limits<size_t>::max();
// Rounds of random changes beside the meeting points, and the most layouts
// they try (see plan_segments).
constexpr size_t kMeetRounds = 32, kMeetTries = 2048;

struct Segment {
    size_t first, last;
};

struct Circuit {
    int n, k;                               // qubits, chunk bits
    std::vector<Mask> need;                 // pair qubits above 2 of each gate
    std::vector<std::vector<size_t>> uses;  // gates pairing on each qubit, increasing

    Mask union_of(Segment seg) const {
        Mask u = 0;
        for (size_t g = seg.first; g < seg.last; ++g) u |= need[g];
        return u;
    }
    // Gates from the segment to each qubit's nearest use after it (forward) or
    // before it (backward); kNever when there is none.
    std::vector<size_t> distances(Segment seg, bool forward) const {
        std::vector<size_t> d(n, kNever);
        for (int q = 0; q < n; ++q) {
            const std::vector<size_t>& u = uses[q];
            if (forward) {
                const auto it = std::lower_bound(u.begin(), u.end(), seg.last);
                if (it != u.end()) d[q] = *it - seg.last;
            } else {
                const auto it = std::lower_bound(u.begin(), u.end(), seg.first);
                if (it != u.begin()) d[q] = seg.first - *(it - 1);
            }
        }
        return d;
    }
};

Layout identity_layout(int n) {
    Layout id(n);
    for (int q = 0; q < n; ++q) id[q] = q;
    return id;
}

bool fits(const Layout& pos, Mask need, int k) {
    for (Mask m = need; m != 0; m &= m - 1)
        if (pos[std::countr_zero(m)] >= k) return false;
    return true;
}

Layout inverse_of(const Layout& perm) {
    Layout inv(perm.size());
    for (size_t q = 0; q < perm.size(); ++q) inv[perm[q]] = static_cast<int>(q);
    return inv;
}

// The pairs {p, x[p]} of an involution of positions, p < x[p].
Pairs involution_pairs(const Layout& x) {
    Pairs pairs;
    for (int p = 0; p < static_cast<int>(x.size()); ++p)
        if (p < x[p]) pairs.emplace_back(p, x[p]);
    return pairs;
}

// Position p's content goes to q and q's to p.
void apply_exchanges(Layout& pos, const Pairs& pairs) {
    Layout to = identity_layout(static_cast<int>(pos.size()));
    for (const auto& [p, q] : pairs) {
        to[p] = q;
        to[q] = p;
    }
    for (int& p : pos) p = to[p];
}

// The cycles of a permutation of 0 .. n - 1, each c_0 -> perm(c_0) -> ...
std::vector<std::vector<int>> cycles_of(const Layout& perm) {
    std::vector<std::vector<int>> cycles;
    std::vector<bool> seen(perm.size(), false);
    for (int q = 0; q < static_cast<int>(perm.size()); ++q) {
        if (seen[q]) continue;
        std::vector<int> c;
        for (int x = q; !seen[x]; x = perm[x]) {
            seen[x] = true;
            c.push_back(x);
        }
        cycles.push_back(std::move(c));
    }
    return cycles;
}

// Two involution steps x (first) and z, as pairs.
struct Split {
    Pairs x, z;
};

// The two steps from layout `from` through a layout with every qubit of
// `need` below k to layout `to` (see the file comment); false when no axes
// fit.  Per cycle the axis moves the fewest positions, those of x first when
// `x_first` (else those of z); `dist` ranks the qubits pushed out by swapped
// fixed points (furthest use first).
bool split_towards(const Circuit& c, const Layout& from, const Layout& to, Mask need, bool x_first,
                   const std::vector<size_t>& dist, Split& out) {
    const int n = c.n, k = c.k;
    const Layout at = inverse_of(from);  // qubit at each position
    Layout q_perm(n), x = identity_layout(n), z = identity_layout(n);
    for (int p = 0; p < n; ++p) q_perm[p] = to[at[p]];
    const auto needed_at = [&](int p) { return ((need >> at[p]) & 1) != 0; };
    std::vector<int> out_needed, in_free;  // fixed points: a needed qubit at or above k, an unneeded one below
    for (const std::vector<int>& cyc : cycles_of(q_perm)) {
        const int len = static_cast<int>(cyc.size());
        if (len == 1) {
            const int p = cyc[0];
            if (needed_at(p) && p >= k) out_needed.push_back(p);
            if (!needed_at(p) && p >= 3 && p < k) in_free.push_back(p);
            continue;
        }
        const auto at_axis = [len](int j, int i) { return ((j - i) % len + len) % len; };
        int best = -1;
        std::pair<int, int> best_score;
        for (int j = 0; j < len; ++j) {
            bool ok = true;
            int x_moves = 0, z_moves = 0;
            for (int i = 0; i < len; ++i) {
                const int xp = cyc[at_axis(j, i)], zp = cyc[at_axis(j + 1, i)];
                if (needed_at(cyc[i]) && xp >= k) ok = false;
                x_moves += xp != cyc[i];
                z_moves += zp != cyc[i];
            }
            const std::pair<int, int> score = x_first ? std::pair{x_moves, z_moves} : std::pair{z_moves, x_moves};
            if (ok && (best < 0 || score < best_score)) {
                best = j;
                best_score = score;
            }
        }
        if (best < 0) return false;
        for (int i = 0; i < len; ++i) {
            x[cyc[i]] = cyc[at_axis(best, i)];
            z[cyc[i]] = cyc[at_axis(best + 1, i)];
        }
    }
    if (out_needed.size() > in_free.size()) return false;
    std::stable_sort(in_free.begin(), in_free.end(), [&](int a, int b) { return dist[at[a]] > dist[at[b]]; });
    for (size_t t = 0; t < out_needed.size(); ++t) {
        x[out_needed[t]] = z[out_needed[t]] = in_free[t];
        x[in_free[t]] = z[in_free[t]] = out_needed[t];
    }
    out = {involution_pairs(x), involution_pairs(z)};
    return true;
}

// The needed qubits outside (in) and the unneeded ones inside (out).
void find_movers(const Circuit& c, const Layout& pos, Mask need, std::vector<int>& in, std::vector<int>& out) {
    for (int q = 3; q < c.n; ++q) {
        const bool needed = (need >> q) & 1;
        if (needed && pos[q] >= c.k) in.push_back(q);
        if (!needed && pos[q] < c.k) out.push_back(q);
    }
}

// Swaps each needed qubit outside with an unneeded one inside, furthest use
// first, preferring partners one of which then sits at its home.
Pairs swap_change(const Circuit& c, const Layout& pos, Mask need, const std::vector<size_t>& dist) {
    const int k = c.k;
    std::vector<int> in, out;
    find_movers(c, pos, need, in, out);
    const Layout at = inverse_of(pos);
    const auto incoming = [&](int e) { return ((need >> e) & 1) && pos[e] >= k; };
    // Swapped with v, the qubit at v's home returns v home, or the qubit whose
    // home v holds goes home.
    const auto homecoming = [&](int v) { return incoming(at[v]) || incoming(pos[v]); };
    std::stable_sort(out.begin(), out.end(), [&](int a, int b) {
        return dist[a] != dist[b] ? dist[a] > dist[b] : homecoming(a) > homecoming(b);
    });
    out.resize(in.size());
    Pairs change;
    std::vector<bool> taken(out.size(), false);
    for (int e : in) {
        size_t pick = out.size();
        for (size_t t = 0; t < out.size() && pick == out.size(); ++t)
            if (!taken[t] && (pos[e] == out[t] || pos[out[t]] == e)) pick = t;
        for (size_t t = 0; t < out.size() && pick == out.size(); ++t)
            if (!taken[t]) pick = t;
        taken[pick] = true;
        change.emplace_back(std::min(pos[e], pos[out[pick]]), std::max(pos[e], pos[out[pick]]));
    }
    std::sort(change.begin(), change.end());
    return change;
}

// A one-step change that swaps each needed qubit outside with a random
// unneeded one inside (a small xorshift generator: the same plan everywhere).
Pairs random_change(const Circuit& c, const Layout& pos, Mask need, uint64_t& state) {
    std::vector<int> in, out;
    find_movers(c, pos, need, in, out);
    Pairs change;
    for (size_t t = 0; t < in.size(); ++t) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::swap(out[t], out[t + state % (out.size() - t)]);
        change.emplace_back(std::min(pos[in[t]], pos[out[t]]), std::max(pos[in[t]], pos[out[t]]));
    }
    std::sort(change.begin(), change.end());
    return change;
}

// The change in a half of the plan that brings `need` below k from pos.
Pairs half_change(const Circuit& c, const Layout& pos, Mask need, const std::vector<size_t>& dist) {
    if (fits(pos, need, c.k)) return {};
    Split s;
    if (split_towards(c, pos, identity_layout(c.n), need, true, dist, s)) return s.x;
    return swap_change(c, pos, need, dist);
}

// Involution steps that take layout pos back to the identity: none, one, or
// two (pos^-1 = A o B per cycle with B(c_i) = c_-i, A(c_i) = c_(1 - i); B is
// the identity on cycles of one or two).
std::vector<Pairs> restore_steps(const Layout& pos) {
    const int n = static_cast<int>(pos.size());
    Layout a = identity_layout(n), b = identity_layout(n);
    for (const std::vector<int>& c : cycles_of(inverse_of(pos))) {
        const int k = static_cast<int>(c.size());
        for (int i = 0; i < k; ++i) {
            b[c[i]] = c[(k - i) % k];
            a[c[i]] = c[(k + 1 - i) % k];
        }
    }
    std::vector<Pairs> steps;
    for (const Pairs& s : {involution_pairs(b), involution_pairs(a)})
        if (!s.empty()) steps.push_back(s);
    return steps;
}

struct Plan {
    std::vector<PlanStep> steps;
    size_t passes = 0, moves = 0;
    Layout pos;

    explicit Plan(int n) : pos(identity_layout(n)) {}
    void exchange(const Pairs& pairs) {
        if (pairs.empty()) return;
        apply_exchanges(pos, pairs);
        steps.push_back(PlanStep{PlanStep::Kind::exchange, 0, 0, {}, pairs});
        ++passes;
        moves += 2 * pairs.size();
    }
    void run(Segment seg) {
        if (!steps.empty() && steps.back().kind == PlanStep::Kind::chunk_run) {  // same layout: one run
            steps.back().last = seg.last;
            return;
        }
        steps.push_back(PlanStep{PlanStep::Kind::chunk_run, seg.first, seg.last, pos, {}});
        ++passes;
    }
    bool better_than(const Plan& o) const { return passes != o.passes ? passes < o.passes : moves < o.moves; }
};

// The best plan for one cut of the gates into segments.
Plan plan_segments(const Circuit& c, const std::vector<Segment>& segs, size_t target) {
    const size_t r = segs.size();
    std::vector<Mask> need(r);
    for (size_t s = 0; s < r; ++s) need[s] = c.union_of(segs[s]);
    // Forward half: fwd[s] takes the layout before run s to fwd_layout[s].
    std::vector<Pairs> fwd(r), bwd(r);
    std::vector<Layout> fwd_layout(r), bwd_layout(r);
    Layout pos = identity_layout(c.n);
    for (size_t s = 0; s < r; ++s) {
        fwd[s] = half_change(c, pos, need[s], c.distances(segs[s], true));
        apply_exchanges(pos, fwd[s]);
        fwd_layout[s] = pos;
    }
    // Backward half: bwd[s] takes bwd_layout[s] to the layout after run s.
    pos = identity_layout(c.n);
    for (size_t s = r; s-- > 0;) {
        bwd[s] = half_change(c, pos, need[s], c.distances(segs[s], false));
        apply_exchanges(pos, bwd[s]);
        bwd_layout[s] = pos;
    }
    // Transition t runs before run t (t = r: after the last).  An empty one
    // merges the runs around it, so a plan costs 1 + sum of w(t) over the
    // non-empty transitions, w = 1 at both ends and 2 between runs.
    const auto weight = [r](size_t t) -> size_t { return t == 0 || t == r ? 1 : 2; };
    std::vector<size_t> fwd_passes(r + 1, 0), fwd_moves(r + 1, 0), bwd_passes(r + 2, 0), bwd_moves(r + 2, 0);
    for (size_t s = 0; s < r; ++s) {  // fwd[s] is transition s, bwd[s] transition s + 1
        fwd_passes[s + 1] = fwd_passes[s] + (fwd[s].empty() ? 0 : weight(s));
        fwd_moves[s + 1] = fwd_moves[s] + 2 * fwd[s].size();
    }
    for (size_t s = r; s-- > 0;) {
        bwd_passes[s] = bwd_passes[s + 1] + (bwd[s].empty() ? 0 : weight(s + 1));
        bwd_moves[s] = bwd_moves[s + 1] + 2 * bwd[s].size();
    }
    // Without a meeting point: the forward half, then home in up to two steps.
    const std::vector<Pairs> home = restore_steps(fwd_layout[r - 1]);
    size_t best_passes = 1 + fwd_passes[r] + home.size(), best_moves = fwd_moves[r];
    for (const Pairs& h : home) best_moves += 2 * h.size();
    // A meeting point; alt_fwd / alt_bwd, when not empty, replace fwd[meet - 1]
    // / bwd[meet + 1] (another one-step change into the run beside it).
    size_t best_meet = r;
    Split best_split;
    Pairs best_alt_fwd, best_alt_bwd;
    const Layout id = identity_layout(c.n);
    const auto try_meet = [&](size_t meet, const Layout& before, const Layout& after, const Pairs& alt_fwd,
                              const Pairs& alt_bwd) {
        size_t moves_base = fwd_moves[meet] + bwd_moves[meet + 1];
        if (!alt_fwd.empty()) moves_base += 2 * alt_fwd.size() - 2 * fwd[meet - 1].size();
        if (!alt_bwd.empty()) moves_base += 2 * alt_bwd.size() - 2 * bwd[meet + 1].size();
        const std::vector<size_t> dist = c.distances(segs[meet], true);
        for (bool x_first : {true, false}) {
            Split split;
            if (!split_towards(c, before, after, need[meet], x_first, dist, split)) return;
            const size_t passes = 1 + fwd_passes[meet] + (split.x.empty() ? 0 : weight(meet)) +
                                  (split.z.empty() ? 0 : weight(meet + 1)) + bwd_passes[meet + 1];
            const size_t moves = moves_base + 2 * (split.x.size() + split.z.size());
            if (passes < best_passes || (passes == best_passes && moves < best_moves)) {
                best_passes = passes;
                best_moves = moves;
                best_meet = meet;
                best_split = split;
                best_alt_fwd = alt_fwd;
                best_alt_bwd = alt_bwd;
            }
        }
    };
    const auto layout_before = [&](size_t s) -> const Layout& { return s == 0 ? id : fwd_layout[s - 1]; };
    const auto layout_after = [&](size_t s) -> const Layout& { return s + 1 == r ? id : bwd_layout[s + 1]; };
    // Every transition one step: no plan of these runs does better.
    const size_t bound = 1 + (fwd[0].empty() ? 0 : 1) + (bwd[r - 1].empty() ? 0 : 1) + 2 * (r - 1);
    for (size_t meet = 0; meet < r && best_passes > bound; ++meet)
        try_meet(meet, layout_before(meet), layout_after(meet), {}, {});
    // Short of that (and of `target`), other random one-step changes into the
    // runs beside the meeting point give other layouts to meet from.
    uint64_t seed = 1;
    size_t tries = 0;
    for (size_t round = 0; round < kMeetRounds && best_passes > bound && bound < target; ++round)
        for (size_t meet = 0; meet < r && best_passes > bound && tries < kMeetTries; ++meet, ++tries) {
            if (meet > 0 && !fwd[meet - 1].empty()) {
                const Pairs alt = random_change(c, layout_before(meet - 1), need[meet - 1], seed);
                Layout before = layout_before(meet - 1);
                apply_exchanges(before, alt);
                try_meet(meet, before, layout_after(meet), alt, {});
            }
            if (meet + 1 < r && !bwd[meet + 1].empty()) {
                const Pairs alt = random_change(c, layout_after(meet + 1), need[meet + 1], seed);
                Layout after = layout_after(meet + 1);
                apply_exchanges(after, alt);
                try_meet(meet, layout_before(meet), after, {}, alt);
            }
        }
    Plan p(c.n);
    for (size_t s = 0; s < r; ++s) {
        if (s < best_meet) p.exchange(s + 1 == best_meet && !best_alt_fwd.empty() ? best_alt_fwd : fwd[s]);
        if (s == best_meet) p.exchange(best_split.x);
        p.run(segs[s]);
        if (s == best_meet) p.exchange(best_split.z);
        if (s > best_meet) p.exchange(s == best_meet + 1 && !best_alt_bwd.empty() ? best_alt_bwd : bwd[s]);
    }
    if (best_meet == r)
        for (const Pairs& h : home) p.exchange(h);
    return p;
}

// The longest pieces of [first, last) whose pair qubits number at most
// `slots`, cut from the front or from the back.
std::vector<Segment> greedy_segments(const Circuit& c, size_t first, size_t last, bool forward) {
    const int slots = c.k - 3;
    std::vector<Segment> out;
    if (forward) {
        for (size_t g = first; g < last;) {
            Mask u = 0;
            size_t e = g;
            while (e < last && std::popcount(u | c.need[e]) <= slots) u |= c.need[e++];
            out.push_back({g, e});
            g = e;
        }
    } else {
        for (size_t g = last; g > first;) {
            Mask u = 0;
            size_t b = g;
            while (b > first && std::popcount(u | c.need[b - 1]) <= slots) u |= c.need[--b];
            out.push_back({b, g});
            g = b;
        }
        std::reverse(out.begin(), out.end());
    }
    return out;
}

}  // namespace

std::vector<PlanStep> plan_chunk_passes(const std::vector<GateFootprint>& gates, int num_qubits, int chunk_bits) {
    if (chunk_bits <= 3 || chunk_bits >= num_qubits || num_qubits > 64) {
        return {PlanStep{PlanStep::Kind::chunk_run, 0, gates.size(), identity_layout(std::max(num_qubits, 0)), {}}};
    }
    Circuit c{num_qubits, chunk_bits, {}, std::vector<std::vector<size_t>>(num_qubits)};
    const Mask qubits = num_qubits == 64 ? ~Mask{0} : (Mask{1} << num_qubits) - 1;
    c.need.reserve(gates.size());
    for (size_t g = 0; g < gates.size(); ++g) {
        if (((gates[g].pairs | gates[g].selects) & ~qubits) != 0)
            throw std::invalid_argument("plan_chunk_passes: gate " + std::to_string(g) + " names a qubit outside " +
                                        std::to_string(num_qubits) + " qubits");
        const Mask need = gates[g].pairs & ~Mask{7};
        if (std::popcount(need) > chunk_bits - 3)
            throw std::invalid_argument("plan_chunk_passes: gate " + std::to_string(g) + " pairs on " +
                                        std::to_string(std::popcount(need)) + " qubits above 2, more than " +
                                        std::to_string(chunk_bits - 3) + " fit in a chunk");
        c.need.push_back(need);
        for (Mask m = need; m != 0; m &= m - 1) c.uses[std::countr_zero(m)].push_back(g);
    }
    const size_t count = gates.size();
    if (count == 0) return {};
    const Mask home = qubits & ((Mask{1} << chunk_bits) - 1);  // fit the identity layout
    size_t prefix = 0, suffix = count;
    while (prefix < count && (c.need[prefix] & ~home) == 0) ++prefix;
    while (suffix > 0 && (c.need[suffix - 1] & ~home) == 0) --suffix;
    if (prefix == count) return plan_segments(c, {{0, count}}, 0).steps;
    Plan best(num_qubits);
    bool have = false;
    for (bool cut_prefix : {false, true}) {
        if (cut_prefix && prefix == 0) continue;
        for (bool cut_suffix : {false, true}) {
            if (cut_suffix && suffix == count) continue;
            for (bool forward : {true, false}) {
                const size_t first = cut_prefix ? prefix : 0, last = cut_suffix ? suffix : count;
                std::vector<Segment> segs;
                if (cut_prefix) segs.push_back({0, prefix});
                for (const Segment& s : greedy_segments(c, first, last, forward)) segs.push_back(s);
                if (cut_suffix) segs.push_back({suffix, count});
                Plan p = plan_segments(c, segs, have ? best.passes : kNever);
                if (!have || p.better_than(best)) {
                    best = std::move(p);
                    have = true;
                }
            }
        }
    }
    return best.steps;
}

PlanCounts count_passes(const std::vector<PlanStep>& plan) {
    PlanCounts counts{0, 0};
    for (const PlanStep& s : plan) ++(s.kind == PlanStep::Kind::chunk_run ? counts.chunk_runs : counts.exchanges);
    return counts;
}
