// Cross-validation folds of the raw-permutation test: a fold's training
// rows standardised with their own moments and weights, its test rows with
// the same moments, and the exact contribution of one response column to the
// pooled out-of-fold R^2 by a refit on the training rows. Every faster route
// falls back to this refit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

// The test rows of each fold; a fold trains on the other folds' rows, in
// fold order.
using Folds = std::span<const std::vector<std::size_t>>;

struct FoldRows {
    std::vector<std::uint64_t> train, test;
};
FoldRows fold_rows(Folds folds, std::size_t f);

struct CvFold {
    std::vector<std::uint64_t> train, test;
    // Training weights rescaled to mean one and their square roots, the row
    // factors; absent when the fold runs unweighted.
    std::optional<Eigen::VectorXd> weights, row_factors;
    // The training weights sum to zero: no effective rows, so no column of
    // the fold can be fitted. The blocks are then left empty.
    bool massless = false;
    Eigen::MatrixXd z_train;  // times the row factors when weighted
    Eigen::MatrixXd z_test;
    Eigen::VectorXd mean, scale;
    double fro = 0.0;  // ||z_train||_F
};

// Fold f of X (n x p, any layout) with optional weights (one per row of X);
// non_finite_input when a standardised entry is not finite.
Result<CvFold> prepare_cv_fold(MatView x, Folds folds, std::size_t f,
                               std::optional<VecView> weights);

struct CvTargets {
    Eigen::VectorXd train;  // standardised with the training weights
    Eigen::VectorXd test;   // with the training mean and scale
    double mean = 0.0, scale = 0.0;
};

// The column (all n rows) standardised for the fold.
CvTargets cv_fold_targets(const CvFold& fold, VecView column);

struct CvContribution {
    double ss_res = 0.0;
    double ss_tot = 0.0;  // about the test rows' own mean
};

// SS_res and SS_tot of the column on the fold's test rows after a k-component
// refit on its training rows; the fit's errors are the column's.
Result<CvContribution> cv_fold_contribution(const CvFold& fold, VecView column, std::size_t k,
                                            std::optional<std::size_t> keep);

// cv_fold_contribution for every column of values (n x w), in column order,
// the fits run as one block: each column's result is the bits of its own
// refit.
std::vector<Result<CvContribution>> cv_fold_contributions(const CvFold& fold, MatView values,
                                                          std::size_t k,
                                                          std::optional<std::size_t> keep);

// The same sums from predictions and test targets in the training scale.
CvContribution fold_sums(VecView prediction, VecView y_test);

}  // namespace veltra::resample
