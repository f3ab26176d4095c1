// PLS1 fits of many responses on one prepared X at once: the component loop
// on the X backend (pls1_fit_prepared_fro) for a block of responses, for
// callers that refit permuted or resampled responses on the same
// standardised block and keep only the coefficients.
//
// Each response's coefficients are the bits of its own
// pls1_fit_prepared_fro: its products X'y, X r and X't keep their order of
// operations (the responses only share the reads of X), and every other
// step of its loop runs on its own lane in its own order. A response that
// stops early leaves the block; the others go on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include <Eigen/Core>

#include "veltra/view.hpp"

namespace veltra {

// The standardised-scale coefficients (X_s.cols x b) of one fit per column
// of ys (X_s.rows x b, any layout): column c is pls1_fit_prepared_fro (xs,
// column c, k, keep, fro, par_sequential).coef. Runs on the calling thread,
// the responses in blocks of up to 16 at a time. max_lanes caps the vector
// width of the products (8, 4 or 2 responses per vector; the bits do not
// depend on it).
Eigen::MatrixXd pls1_coef_prepared_block(MatView xs, MatView ys, std::size_t k,
                                         std::optional<std::size_t> keep, double fro,
                                         std::size_t max_lanes = 8);

// A X (a.rows x b) for a block of vectors X (a.cols x b, any layout): column
// c is the bits of mat_vec (a, column c of X, par_sequential), computed for
// many columns at once where the order of mat_vec allows (a column-major A
// whose row parts all hold two rows or more), else column by column. Runs
// on the calling thread.
Eigen::MatrixXd mat_vec_columns(MatView a, MatView x, std::size_t max_lanes = 8);

// Peak bytes of one pls1_coef_prepared_block of b responses with k
// components on a rows x p X, beyond X and the responses (saturating): the
// loop of one block of responses and the coefficients.
std::uint64_t prepared_block_fit_bytes(std::uint64_t rows, std::uint64_t p, std::uint64_t k,
                                       std::uint64_t b);

// Peak bytes of one mat_vec_columns of an m x p A and b vectors beyond its
// operands (saturating).
std::uint64_t mat_vec_columns_bytes(std::uint64_t m, std::uint64_t p, std::uint64_t b);

}  // namespace veltra
