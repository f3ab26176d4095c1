// Split correlations without a refit. For one component without keep, the
// PLS1 prediction on a split's test half is a positive multiple of
// Z_test Z_train' y_train, so its test-half correlation comes from two
// products per split, for any number of response columns at once. Each value
// is certified against a rounding bound; a value that cannot be certified is
// left pending for the refit route, never reported uncertified.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "veltra/resample/resample.hpp"
#include "veltra/resample/splits.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

// Column 0 is s y, column c >= 1 is s y gathered through perms[c - 1], with
// s the power-of-two prescale of y.
Eigen::MatrixXd nr_outcome_matrix(VecView y, std::span<const std::vector<std::uint64_t>> perms);

// Up to this many response columns a split's products come from the
// engine's one pass per block of columns (split_products), which writes no
// standardised block and is matrix-vector work whatever the shape; above
// it from standardised chunks and matrix products, in the order the Gram
// flag picks.
inline constexpr std::size_t nr_fused_columns = 8;

// X columns standardised and multiplied at a time when there are more
// response columns than the fused pass takes: about 64 KiB of the larger
// half per chunk, and more with many response columns (up to 128 columns,
// a quarter of their count), so that the products are matrix-matrix work
// rather than rank-few updates of the prediction; at least 8, a multiple of
// 8. The small chunks stay in cache between standardising and multiplying
// and come from the heap's free lists instead of fresh pages for every
// split; the wide ones hold at most a quarter of the response blocks.
std::size_t nr_chunk_width(std::size_t rows, std::size_t columns);

// Peak bytes of one nr_split_r on a split of m training and nt test rows
// with the given number of response columns, Gram matrix or not
// (saturating): its response and prediction blocks, and the one pass's
// buffers or a chunk of each half with the products' operands.
std::uint64_t nr_split_bytes(std::uint64_t m, std::uint64_t nt, std::uint64_t columns, bool gram);

// Whether the test-by-training Gram matrix is the cheaper product.
bool nr_gram_flag(std::size_t n, std::size_t m, std::size_t p, std::size_t columns);

// One certified correlation per column of the outcome matrix, or empty
// where the value is pending. Weights as run_split_nb takes them.
std::vector<std::optional<double>> nr_split_r(MatView x, const Eigen::MatrixXd& outcomes,
                                              const SplitIdx& split,
                                              std::optional<VecView> weights, bool gram);

// The correlations of split_nb at k = 1 without keep: certified values from
// the no-refit pass, the pending ones refitted.
std::vector<SplitR> split_nb_correlations_nr(MatView x, VecView y,
                                             std::span<const SplitIdx> splits,
                                             std::optional<VecView> weights);

}  // namespace veltra::resample
