// One-component PLS1 in n-space from a caller's Gram matrix: the dual
// coefficients of many response columns at once. Only G = XX' of the
// caller's centred feature columns is given, so it is first checked to be
// such a Gram matrix, each test with an allowance for rounding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/resample/dual_route/multi_k.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

struct PermAlphaOutput {
    Eigen::MatrixXd alpha;              // n x q: column j the dual coefficients of Y's column j
    std::vector<std::uint64_t> k_used;  // per column
    std::vector<bool> resolved;         // per column; an unresolved column is NaN
    std::uint64_t k = 1;
    std::uint64_t n_features = 0;
};

// The public entry (thread cap and memory budget first). gram is n x n, Y is
// n x q, both read in place in any layout.
Result<PermAlphaOutput> pls1_perm_alpha(MatView gram, MatView y, std::uint64_t k,
                                        std::uint64_t n_features);

// Columns lo .. hi - 1 of Y, each standardised and fitted with k
// components: their outcomes (Coefficients, Zero or Unresolved) in order.
std::vector<NspaceOutcome> alpha_columns(const NspaceGram& gram, MatView y, std::size_t lo,
                                         std::size_t hi, std::size_t k);

}  // namespace veltra::resample
