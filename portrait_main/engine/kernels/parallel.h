// Splitting a pass over a range of items (pixels, for the engine's passes)
// across the machine's cores.
#pragma once

#include <algorithm>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace pm::kernels {

// The most threads a pass uses; beyond a few, passes over memory stop
// getting faster.
inline constexpr unsigned max_pass_threads = 8;

// Calls body(begin, end) over [0, count) in contiguous chunks, one chunk per
// thread, on at most `max_threads` threads (0: as many as the machine's
// cores, up to max_pass_threads), with at least `min_chunk` items in each.
// Small counts run on the calling thread alone. If a thread cannot be
// started, its chunk runs on the calling thread instead. `body` must not
// throw.
template <typename Body>
void parallel_for(std::size_t count, std::size_t min_chunk, std::size_t max_threads, Body body) {
    const std::size_t limit =
        max_threads != 0 ? max_threads : std::max(1U, std::min(std::thread::hardware_concurrency(), max_pass_threads));
    const std::size_t threads = std::clamp<std::size_t>(count / std::max<std::size_t>(min_chunk, 1), 1, limit);
    if (threads == 1) {
        body(std::size_t{0}, count);
        return;
    }
    const std::size_t chunk = (count + threads - 1) / threads;
    std::vector<std::thread> workers;
    workers.reserve(threads - 1);
    for (std::size_t begin = chunk; begin < count; begin += chunk) {
        const std::size_t end = std::min(count, begin + chunk);
        try {
            workers.emplace_back(body, begin, end);
        } catch (const std::system_error&) {
            body(begin, end);
        }
    }
    body(std::size_t{0}, std::min(count, chunk));
    for (std::thread& worker : workers)
        worker.join();
}

// As many threads as the machine's cores, up to max_pass_threads.
template <typename Body>
void parallel_for(std::size_t count, std::size_t min_chunk, Body body) {
    parallel_for(count, min_chunk, std::size_t{0}, body);
}

}  // namespace pm::kernels
