// The two confirmatory tests that need no permutations: the one-split
// e-value test and the score test with its Satterthwaite chi-square.
#pragma once

#include <cstddef>
#include <optional>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/rng.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

struct PvalueStatistic {
    double pvalue;
    double statistic;
};

// Gaussian log likelihood ratio on one random test half of the PLS1 fit of
// the training half against a constant; p = min(1, 1 / max(e, 1)).
// Weights as run_split_nb takes them.
Result<PvalueStatistic> run_e(MatView x, VecView y, std::size_t k, std::optional<VecView> weights,
                              std::optional<std::size_t> keep, ChaCha8Rng& rng);

// T = ||Z'y||^2 against sum lambda_j chi2_1 matched by a scaled chi-square.
Result<PvalueStatistic> run_score(MatView x, VecView y, std::optional<VecView> weights,
                                  bool pre_standardized);

// Eigenvalues of the symmetric G; zeros when the decomposition fails.
Eigen::VectorXd eigenvalues_symmetric(const Eigen::MatrixXd& g);

}  // namespace veltra::resample
