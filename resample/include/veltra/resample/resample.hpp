// The resampling engine every resampling procedure runs its units through
// (splits, permutation columns, folds, subsample draws, rotation-stability
// replicates).
//
// Three guarantees make every result independent of the thread count and of
// the memory budget: each unit draws only from its own generator, seeded
// from a child seed that is drawn, in unit order, before any unit runs;
// results are collected in unit order; and units run in batches whose size
// only bounds how many are alive at once. A unit never fails inside the
// engine: its failure is part of its result, for the caller to count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/numeric.hpp"
#include "veltra/parallel.hpp"
#include "veltra/rng.hpp"
#include "veltra/row_split.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

// How many units one batch may hold under the memory budget, read afresh:
// all of them when a unit costs nothing, one when a unit alone exceeds it.
std::uint64_t units_at_once(std::uint64_t n_units, std::uint64_t bytes_per_unit);

// work(i) for every i in [0, n), in index order. Batches of `batch` items
// run one after another, each as a parallel map; batch < 2 runs everything
// on the calling thread.
template <class Work>
auto map_batches(std::size_t n, std::uint64_t batch, Work&& work)
    -> std::vector<std::invoke_result_t<Work&, std::size_t>> {
    using T = std::invoke_result_t<Work&, std::size_t>;
    std::vector<T> out;
    out.reserve(n);
    if (batch < 2) {
        for (std::size_t i = 0; i < n; ++i) out.push_back(work(i));
        return out;
    }
    for (std::size_t start = 0; start < n; start += batch) {
        const std::size_t len = std::min<std::uint64_t>(batch, n - start);
        // Optional slots: a unit's result type need not be default-constructible.
        std::vector<std::optional<T>> slots(len);
        for_each_index(par_parallel, len, [&](std::size_t i) { slots[i].emplace(work(start + i)); });
        const auto written = static_cast<std::size_t>(
            std::count_if(slots.begin(), slots.end(), [](const auto& s) { return s.has_value(); }));
        if (written != len)
            internal_failure("expected " + std::to_string(len) + " total writes, but got " +
                             std::to_string(written));
        for (auto& s : slots) out.push_back(std::move(*s));
    }
    return out;
}

// work(i) for every unit i in [0, n_units), in unit order, with at most
// b = units_at_once(n_units, bytes_per_unit) units alive at once; b < 2
// runs them one by one on the calling thread. Otherwise they run in b lanes,
// lane l taking units l, l + b, l + 2b, ... one after another as one task:
// a unit frees its blocks into the heap arena of the thread that ran it,
// and the lane's next unit, on the same thread, takes them again, where a
// unit on another thread would take fresh memory beside them. So at most b
// threads ever hold a unit's memory.
template <class Work>
auto map_units(std::size_t n_units, std::uint64_t bytes_per_unit, Work&& work)
    -> std::vector<std::invoke_result_t<Work&, std::size_t>> {
    using T = std::invoke_result_t<Work&, std::size_t>;
    const std::uint64_t lanes = units_at_once(n_units, bytes_per_unit);
    if (lanes < 2) return map_batches(n_units, 1, work);
    std::vector<std::optional<T>> slots(n_units);
    for_each_index(par_parallel, lanes, [&](std::size_t l) {
        for (std::size_t i = l; i < n_units; i += lanes) slots[i].emplace(work(i));
    });
    std::vector<T> out;
    out.reserve(n_units);
    for (auto& s : slots) {
        internal_check(s.has_value(), "a batch did not yield one result per unit");
        out.push_back(std::move(*s));
    }
    return out;
}

// work(i, generator of unit i) for n_units units, in unit order. The seeds
// are drawn from rng before any unit runs.
template <class Work>
auto map_units_seeded(ChaCha8Rng& rng, std::size_t n_units, std::uint64_t bytes_per_unit,
                      Work&& work) {
    const std::vector<std::uint64_t> seeds = child_seeds(rng, n_units);
    return map_units(n_units, bytes_per_unit, [&](std::size_t i) {
        ChaCha8Rng unit_rng = ChaCha8Rng::seed_from_u64(seeds[i]);
        return work(i, unit_rng);
    });
}

// Row i of `out` (rows of row_len values, one per seed) is written by
// work(i, generator of seeds[i], row). The buffer must hold exactly one row
// per seed.
template <class Work>
void parallel_fill_rows_seeded(std::span<double> out, std::size_t row_len,
                               std::span<const std::uint64_t> seeds, Work&& work) {
    internal_check(row_len > 0, "parallel_fill_rows_seeded: zero row length");
    internal_check(out.size() / row_len == seeds.size() && out.size() % row_len == 0,
                   "parallel_fill_rows_seeded: rows and seeds differ in number");
    for_each_index(par_parallel, seeds.size(), [&](std::size_t i) {
        ChaCha8Rng unit_rng = ChaCha8Rng::seed_from_u64(seeds[i]);
        work(i, unit_rng, out.subspan(i * row_len, row_len));
    });
}

// work(i, generator of seeds[i]) for every seed, in seed order.
template <class Work>
auto parallel_for_each_seeded(std::span<const std::uint64_t> seeds, Work&& work) {
    return map_batches(seeds.size(), seeds.size(), [&](std::size_t i) {
        ChaCha8Rng unit_rng = ChaCha8Rng::seed_from_u64(seeds[i]);
        return work(i, unit_rng);
    });
}

// One slot per column of every unit; an empty slot is pending.
template <class T>
using PendingTable = std::vector<std::vector<std::optional<T>>>;

// Completes a table that a fast route filled in part: fill(u, pending
// columns of unit u, ascending) returns one value per pending column, in
// that order. Units without pending columns never reach fill.
template <class T, class Fill>
std::vector<std::vector<T>> fill_pending(PendingTable<T> table, std::uint64_t bytes_per_unit,
                                         Fill&& fill) {
    std::vector<std::size_t> units;
    std::vector<std::vector<std::size_t>> pending;
    for (std::size_t u = 0; u < table.size(); ++u) {
        std::vector<std::size_t> cols;
        for (std::size_t c = 0; c < table[u].size(); ++c)
            if (!table[u][c]) cols.push_back(c);
        if (cols.empty()) continue;
        units.push_back(u);
        pending.push_back(std::move(cols));
    }
    std::vector<std::vector<T>> filled =
        map_units(units.size(), bytes_per_unit, [&](std::size_t i) -> std::vector<T> {
            return fill(units[i], std::span<const std::size_t>(pending[i]));
        });
    for (std::size_t i = 0; i < units.size(); ++i) {
        internal_check(filled[i].size() == pending[i].size(),
                       "fill returns one value per pending column");
        for (std::size_t c = 0; c < pending[i].size(); ++c)
            table[units[i]][pending[i][c]].emplace(std::move(filled[i][c]));
    }
    std::vector<std::vector<T>> out(table.size());
    for (std::size_t u = 0; u < table.size(); ++u) {
        out[u].reserve(table[u].size());
        for (auto& slot : table[u]) out[u].push_back(std::move(*slot));
    }
    return out;
}

// The first m entries of a full shuffle of 0 .. n-1 train, the rest test;
// n <= 1 draws nothing.
SplitIdx one_split(std::size_t n, std::size_t m, ChaCha8Rng& rng);

// 0 .. n-1 after a full Fisher-Yates pass under rng; n <= 1 draws nothing.
std::vector<std::uint64_t> shuffled_rows(std::size_t n, ChaCha8Rng& rng);

// The observed column y (column 0) and one permuted copy per seed (column j
// permuted under seeds[j - 1]), built one at a time on demand. Column j
// depends on y and its seed alone, never on which columns came before.
class Columns {
  public:
    Columns(VecView y, std::vector<std::uint64_t> seeds) : y_(y), seeds_(std::move(seeds)) {}
    std::size_t count() const { return seeds_.size() + 1; }
    Eigen::VectorXd column(std::size_t j) const;

  private:
    VecView y_;
    std::vector<std::uint64_t> seeds_;
};

// Peak bytes of one cross-validation fold: the training and test copies of
// a p-column block, the largest over the folds (0 without folds), saturating.
std::uint64_t fold_blocks_bytes(std::uint64_t n, std::span<const std::vector<std::size_t>> folds,
                                std::uint64_t p);

}  // namespace veltra::resample
