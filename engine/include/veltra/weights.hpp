// Observation weights: validation, rescaling to mean one, the effective
// sample size n_eff, and the row multipliers of weighted refits.
#pragma once

#include <cstddef>
#include <optional>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/view.hpp"

namespace veltra {

struct NormalizedWeights {
    // Weights rescaled to mean one (w_i * n / sum w). Absent when the fit runs
    // unweighted: no weights given, or weights uniform within 1e-12.
    std::optional<Eigen::VectorXd> weights;
    // n without weights or with uniform ones, else (sum w)^2 / sum w^2.
    double n_eff = 0.0;
};

// Fits and resampling: checks length, finiteness, sign and a positive sum, in
// that order; uniform weights are dropped so the fit runs exactly unweighted.
Result<NormalizedWeights> validate_and_normalize_weights(std::optional<VecView> weights,
                                                         std::size_t n);

// As validate_and_normalize_weights, and n_eff must reach k + 1.
Result<NormalizedWeights> validate_weights_for_k(std::optional<VecView> weights, std::size_t n,
                                                 std::size_t k);

// Preprocessing: absent weights give none. The caller has compared the length
// already; uniform weights are kept (a vector of ones, n_eff = n).
Result<std::optional<NormalizedWeights>> normalized_weights(std::optional<VecView> weights);

// Row multipliers sqrt(w_i * n / sum w) of weights that passed validation; a
// zero sum is a broken invariant.
Eigen::VectorXd fit_row_scale(VecView weights);

}  // namespace veltra
