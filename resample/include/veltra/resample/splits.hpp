// The split toolkit of the split-sample tests: split sizes and draws, and
// the exact test-half correlation of one response column by a refit on the
// training half, which every faster split route falls back to. The rows,
// weights and blocks of a split are the engine's (row_split.hpp).
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "veltra/error.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/rng.hpp"
#include "veltra/row_split.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

// The error of a split test none of whose splits could be fitted: a
// p-value would read as an answer although there is no evidence at all.
VeltraError every_split_failed();

// Training rows of the PLS1 split tests: min(max(k + 2, n / 2), n - 3).
std::size_t split_train_size(std::size_t n, std::size_t k);

// n_splits splits of 0 .. n-1, each from its own child seed of rng; fails
// before any draw when n < k + 5.
Result<std::vector<SplitIdx>> draw_splits(std::size_t n, std::size_t k, std::size_t n_splits,
                                          ChaCha8Rng& rng);

// The test-half correlation of the refitted prediction; `fitted` is false
// when the split could not be fitted (non-finite blocks, a half without
// weight, a rejected target or k), and r is then 0.
struct SplitR {
    double r = 0.0;
    bool fitted = false;
};
SplitR split_column_r(const PreparedSplit& s, const SplitIdx& split, VecView y, std::size_t k,
                      std::optional<std::size_t> keep);
SplitR split_half_r(MatView x, VecView y, std::size_t k, const SplitIdx& split,
                    std::optional<VecView> weights, std::optional<std::size_t> keep);

}  // namespace veltra::resample
