// The thread count of every OpenMP region a module opens, and what becomes of
// it in a forked child.
//
// GNU libgomp keeps its thread pool across fork(), but the pool's threads do
// not exist in the child: the child's first region with more than one thread
// would wait for them for ever.  Each module that includes this header
// registers, while it is loaded, a fork handler that marks the child; from
// then on every region of that module in that process runs on one thread.  No
// result depends on the thread count, so the child computes what the parent
// would.  The parent is unaffected.
#pragma once

#include <omp.h>
#include <pthread.h>

#include <atomic>

namespace thread_team_detail {

inline std::atomic<bool> forked_child{false};

inline void mark_forked_child() { forked_child.store(true, std::memory_order_relaxed); }

// One registration per module (the modules export nothing, so each has its
// own copy of these variables), made during the module's static initialisation.
inline const int fork_handler_registered = pthread_atfork(nullptr, nullptr, &mark_forked_child);

}  // namespace thread_team_detail

// Threads a region asks for: `requested` (<= 0: the runtime's default team),
// or 1 in a forked child.
inline int region_team(int requested) {
    return thread_team_detail::forked_child.load(std::memory_order_relaxed) ? 1 : requested;
}

// Runs body() on every thread of one parallel region of region_team(team)
// threads: team > 0 asks for that many, team <= 0 takes the runtime's default.
// A team of one (asked for, or in a forked child) outside any active region
// runs body() on the calling thread without opening a region: there
// omp_get_num_threads() and omp_get_thread_num() give 1 and 0, as they would
// in the region.  Inside an active region the region is still opened, so that
// the body sees its own team of one rather than the enclosing team.
template <typename Body>
inline void run_parallel_region(int team, const Body& body) {
    const bool asked = team > 0;
    team = region_team(team);
    if (asked && team == 1 && !omp_in_parallel()) {
        body();
        return;
    }
    if (team > 0) {
#pragma omp parallel num_threads(team)
        body();
    } else {
#pragma omp parallel
        body();
    }
}
