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
#include "veltra/row_split.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

// The test rows of each fold; a fold trains on the other folds' rows, in
// fold order.
using Folds = std::span<const std::vector<std::size_t>>;

// The training and test rows of fold f.
SplitIdx fold_rows(Folds folds, std::size_t f);

// One fold prepared for its refits: the rows and training weights of a row
// split, the training rows standardised over themselves and times their row
// factors, the test rows standardised with the training moments and
// unweighted.
struct CvFold {
    std::vector<std::uint64_t> train, test;
    // Absent when the fold runs unweighted; massless when the training
    // weights sum to zero: no column of the fold can be fitted, and the
    // blocks are left empty.
    SliceWeights w_train;
    Eigen::MatrixXd z_train;  // times the row factors when weighted
    Eigen::MatrixXd z_test;
    Eigen::VectorXd mean, scale;
    double fro = 0.0;  // stable_norm of z_train

    bool massless() const { return w_train.massless; }
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
