// The thread budget of the product's passes: each Python thread that calls
// into the extension has its own, so callers that run several photographs
// at once can divide the machine between them instead of each pass
// starting a thread per core. A pass reads the budget of the thread that
// started it (the GIL is released, but the OS thread is the same).
#pragma once

#include <cstddef>

namespace ps {

// 0: as many threads as the machine's cores (see pm::kernels::parallel_for).
inline thread_local std::size_t thread_budget = 0;

inline std::size_t pass_threads() { return thread_budget; }

}  // namespace ps
