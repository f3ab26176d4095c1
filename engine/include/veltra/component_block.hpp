// PLS1 fits of many responses on one prepared X at once: the component loop
// on the X backend (pls1_fit_prepared_fro) for a block of responses, for
// callers that refit permuted or resampled responses on the same
// standardised block.
//
// Each response's fit is the bits of its own pls1_fit_prepared_fro: its
// products X'y, X r and X't keep their order of operations (the responses of
// a block only share the reads of X), and everything else of its loop runs
// on its own vectors. A response that stops early leaves the block; the
// others go on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "veltra/component_loop.hpp"
#include "veltra/view.hpp"

namespace veltra {

// One fit per column of ys (X_s.rows x b, any layout), in column order, each
// equal to pls1_fit_prepared_fro (xs, column, k, keep, fro, par_sequential).
// Runs on the calling thread. max_lanes caps the vector width of the
// products (8, 4 or 2 responses per vector; the bits do not depend on it).
std::vector<PreparedFit> pls1_fit_prepared_block(MatView xs, MatView ys, std::size_t k,
                                                 std::optional<std::size_t> keep, double fro,
                                                 std::size_t max_lanes = 8);

// Peak bytes of one pls1_fit_prepared_block of b responses with k
// components on a rows x p X beyond X and the responses (saturating): the b
// models and loop vectors, and the block matrices of the products.
std::uint64_t prepared_block_fit_bytes(std::uint64_t rows, std::uint64_t p, std::uint64_t k,
                                       std::uint64_t b);

}  // namespace veltra
