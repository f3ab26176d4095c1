// What the resampling tests share: the fixed width of a column group, the
// thread count that bounds how many fits are alive at once, how many work
// items of a unit run at once, and the bytes of a column group.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include <Eigen/Core>
#include <tbb/task_arena.h>

#include "veltra/component_block.hpp"
#include "veltra/fit.hpp"
#include "veltra/numeric.hpp"
#include "veltra/ordered_product.hpp"
#include "veltra/resample/dual_route/multi_k.hpp"
#include "veltra/resample/resample.hpp"

namespace veltra::resample::detail {

// Columns fitted together through matrix products: 16 on the n-space
// routes; on the Gram routes as many as keep a group's n-row columns near
// 2 MiB, from 1 to 64. Set by the shape alone, so a column's arithmetic
// never depends on the thread count or the budget.
inline constexpr std::size_t nspace_group = 16;
inline std::size_t gram_group(std::size_t rows) {
    return std::clamp<std::size_t>(2097152 / (8 * std::max<std::size_t>(rows, 1)), 1, 64);
}

// Columns refitted together on the refit routes, as one block fit that reads
// the training block once for all of them. Fixed: a column's refit is its
// own bits in any block, and the grouping never depends on the thread count
// or the budget.
inline constexpr std::size_t refit_group = 16;

inline std::uint64_t pool_threads() {
    return static_cast<std::uint64_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

// Bytes of one group of w columns refitted as one block fit, on a unit of n
// rows, m of them training, and p columns: the group's columns and one
// being built, their training targets with a gather and their block, the
// block fit, the test targets, and the predictions with their product.
inline std::uint64_t refit_group_bytes(std::uint64_t n, std::uint64_t m, std::uint64_t p,
                                       std::uint64_t k, std::uint64_t w) {
    const std::uint64_t nt = n - std::min(m, n);
    std::uint64_t bytes = sat_add(block_bytes(n, sat_add(w, 2)), block_bytes(m, sat_mul(2, w)));
    bytes = sat_add(bytes, sat_add(block_bytes(m, 1), block_bytes(nt, sat_add(w, 1))));
    bytes = sat_add(bytes, mat_vec_columns_bytes(nt, p, w));
    return sat_add(bytes, prepared_block_fit_bytes(m, p, k, w));
}

// Work items of one unit (columns, column groups) per batch: `wanted`, or
// what the memory budget holds at bytes_per_item each when that is fewer
// than one per thread, so that a small budget does not let a unit grow with
// the thread count.
inline std::uint64_t inner_batch(std::uint64_t items, std::uint64_t bytes_per_item,
                                 std::uint64_t wanted) {
    const std::uint64_t held = units_at_once(items, bytes_per_item);
    return held >= pool_threads() ? wanted : held;
}

// work(i) for every work item of one unit, all at once or, when the budget
// holds fewer than one per thread at bytes_per_item each, that many at a
// time; the results in item order.
template <class Work>
auto map_items(std::size_t items, std::uint64_t bytes_per_item, Work&& work) {
    return map_batches(items, inner_batch(items, bytes_per_item, items), std::forward<Work>(work));
}

// How many columns of one unit run at once: all of them for small fits,
// one per thread otherwise, within the budget at bytes_per_column each.
inline std::uint64_t column_batch(std::uint64_t rows, std::uint64_t p, std::uint64_t k,
                                  std::uint64_t columns, std::uint64_t bytes_per_column) {
    const std::uint64_t wanted =
        sat_mul(sat_mul(rows, p), k) <= small_work_max ? columns : pool_threads();
    return inner_batch(columns, bytes_per_column, wanted);
}

// Bytes of the work items of a unit that run at once: one per thread at
// most, and never more than there are.
inline std::uint64_t at_once_bytes(std::uint64_t items, std::uint64_t bytes_per_item) {
    return sat_mul(std::min(pool_threads(), items), bytes_per_item);
}

// Bytes of one group of w columns on an n-space route, for a unit of n rows,
// m of them training: the group's columns and one being built, their
// training targets with a gather, the kernel, and the predictions with a
// test target.
inline std::uint64_t nspace_group_bytes(std::uint64_t n, std::uint64_t m, std::uint64_t k,
                                        std::uint64_t w) {
    const std::uint64_t nt = n - std::min(m, n);
    std::uint64_t bytes = sat_add(block_bytes(n, sat_add(w, 2)), block_bytes(m, sat_add(w, 2)));
    bytes = sat_add(bytes, nspace_kernel_bytes(m, k, w));
    bytes = sat_add(bytes, sat_add(block_bytes(m, w), ordered_product_bytes(nt, m, w)));
    return sat_add(bytes, block_bytes(nt, 1));
}

// Bytes of one group of w columns on a p-space Gram route, for a unit of n
// rows, m of them training, and p columns: the group's columns and their
// targets, X'Y, the coefficients and the fits, the predictions, and the
// refit of a column the gates cannot vouch for.
inline std::uint64_t gram_group_bytes(std::uint64_t n, std::uint64_t m, std::uint64_t p,
                                      std::uint64_t k, std::uint64_t w) {
    const std::uint64_t nt = n - std::min(m, n);
    std::uint64_t bytes = sat_add(block_bytes(n, w), block_bytes(nt, w));
    bytes = sat_add(bytes, sat_add(block_bytes(m, sat_mul(2, w)), ordered_product_bytes(p, m, w)));
    bytes = sat_add(bytes, sat_add(block_bytes(p, sat_mul(2, w)), prepared_fit_bytes(0, p, k)));
    bytes = sat_add(bytes, ordered_product_bytes(nt, p, w));
    return sat_add(bytes, refit_bytes(n, m, p, k));
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

// per_group(values) on each block of `group` columns of cols in turn (the
// last one narrower), batched under `bytes` per block; the results in
// block order.
template <class Columns, class PerGroup>
auto column_groups(const Columns& cols, std::size_t group, std::uint64_t bytes,
                   PerGroup&& per_group) {
    const std::size_t C = cols.count(), n_groups = ceil_div(C, group);
    return map_items(n_groups, bytes, [&](std::size_t g) {
        const std::size_t lo = g * group, w = std::min(group, C - lo);
        const Eigen::MatrixXd values = column_block(cols, lo, w);
        return per_group(MatView::of(values));
    });
}

// The blocks' results joined in order.
template <class T>
std::vector<T> joined(std::vector<std::vector<T>>&& parts) {
    std::vector<T> out;
    for (auto& part : parts) std::move(part.begin(), part.end(), std::back_inserter(out));
    return out;
}

}  // namespace veltra::resample::detail
