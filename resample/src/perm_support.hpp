// What the two permutation tests share: the fixed width of a column group,
// the thread count that bounds how many fits are alive at once, and the
// bytes one fit needs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include <Eigen/Core>
#include <tbb/task_arena.h>

#include "veltra/numeric.hpp"
#include "veltra/resample/resample.hpp"

namespace veltra::detail {

// Columns fitted together through matrix products: 16 on the n-space
// routes; on the Gram routes as many as keep a group's n-row columns near
// 2 MiB, from 1 to 64. Set by the shape alone, so a column's arithmetic
// never depends on the thread count or the budget.
inline constexpr std::size_t nspace_group = 16;
inline std::size_t gram_group(std::size_t rows) {
    return std::clamp<std::size_t>(2097152 / (8 * std::max<std::size_t>(rows, 1)), 1, 64);
}

inline std::uint64_t pool_threads() {
    return static_cast<std::uint64_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

// Bytes of one refit with k components on p columns.
inline std::uint64_t refit_bytes(std::uint64_t p, std::uint64_t k) {
    return sat_add(sat_mul(sat_mul(40, ceil8(p)), k), sat_mul(32, ceil8(p)));
}

// How many columns of one unit run at once: all of them for small fits,
// one per thread otherwise.
inline std::uint64_t column_batch(std::uint64_t rows, std::uint64_t p, std::uint64_t k,
                                  std::uint64_t columns) {
    return sat_mul(sat_mul(rows, p), k) <= small_work_max ? columns : pool_threads();
}

// Columns [lo, lo + w) of the outcome set as one n x w matrix.
inline Eigen::MatrixXd column_block(const Columns& cols, std::size_t lo, std::size_t w) {
    Eigen::MatrixXd out;
    for (std::size_t i = 0; i < w; ++i) {
        const Eigen::VectorXd c = cols.column(lo + i);
        if (i == 0) out.resize(c.size(), to_index(w));
        out.col(to_index(i)) = c;
    }
    return out;
}

inline VecView column_of(MatView m, std::size_t j) {
    return {m.data + static_cast<std::ptrdiff_t>(j) * m.col_stride, m.rows, m.row_stride};
}

}  // namespace veltra::detail
