// Cross-validation folds of the model-selection searches. A fold is fitted
// once on its training rows and scores any number of columns (component
// counts, or kept-feature counts) by the R^2 of its validation rows.
//
// The fast pass fits on the whole X, read in place in any layout, with the
// training moments applied on the fly and the validation rows weighted out,
// so no training block is copied; the validation rows are standardised block
// by block (about 2 MiB at a time). Whatever the fast pass cannot vouch for
// (large means against the scales, an overflowing product, a non-finite
// prediction) is recomputed on materialised blocks. Folds run as units of the
// resampling engine: scores are the same bits for every thread count and
// memory budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "veltra/component_loop.hpp"
#include "veltra/error.hpp"
#include "veltra/fit.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/parallel.hpp"
#include "veltra/rng.hpp"
#include "veltra/row_split.hpp"
#include "veltra/standardize.hpp"
#include "veltra/view.hpp"

namespace veltra::select {

// The validation rows of each fold; a fold trains on all the other rows.
using CvFolds = std::vector<std::vector<std::size_t>>;

// 0 .. n-1 shuffled with rng (nothing drawn for n <= 1), cut into f folds.
CvFolds cv_folds(std::size_t n, std::size_t f, ChaCha8Rng& rng);

// What every fold reads: X (any layout), y, and the validated weights
// rescaled to mean one (absent for uniform weights).
struct CvData {
    MatView x;
    VecView y;
    std::optional<VecView> weights;
};

// The validation rows standardised for prediction, and the training block
// materialised (not row-scaled), for the exact refit.
struct FoldBlocks {
    Eigen::MatrixXd train;
    Eigen::MatrixXd val;
};

struct FoldData {
    std::vector<std::uint64_t> train;  // the other folds' rows, fold after fold
    std::vector<std::uint64_t> val;    // this fold's rows, in shuffled order
    Eigen::VectorXd y_val;             // with the training mean and scale of y
    // Mean one over the validation rows; absent without weights or when they
    // sum to zero (the fold is then scored unweighted).
    std::optional<Eigen::VectorXd> w_val;
    // Mean one over the training rows, with their square roots and the
    // moment weights; absent when they run unweighted.
    SliceWeights w_train;
    // Training column moments; the row multipliers cover all n rows of X:
    // sqrt of the training weight (1 unweighted), 0 on every validation row.
    FitX fx;
    double ratio = 0.0;     // max_j |mean_j| / scale_j over the training columns
    Standardized1 y_train;  // the training y standardised with the training weights
    Eigen::VectorXd fitted;  // n: multiplier times standardised training y, 0 elsewhere

    // One prediction per coefficient vector (standardised scale) for the
    // validation rows, in the training scale of y.
    std::vector<Eigen::VectorXd> predict_in_place(MatView x,
                                                  std::span<const Eigen::VectorXd> coefs,
                                                  Par par) const;
    double ss_tot() const;
    double r2(const Eigen::VectorXd& pred, double ss_tot) const;

    // The fast fit of k components on the whole X; none when the ratio is
    // above 1000 (or NaN), a product overflowed, or the fit is not finite.
    std::optional<PreparedFit> fast_fit(MatView x, std::size_t k,
                                        std::optional<std::size_t> keep) const;
    FoldBlocks copy_blocks(MatView x) const;
    // The refit of k components on the materialised training block.
    Result<Pls1Model> exact_fit(const FoldBlocks& blocks, std::size_t k,
                                std::optional<std::size_t> keep) const;
};

// Fold f prepared; a fold whose training weights sum to zero has no
// effective rows and fails with invalid_weights all_zero.
Result<FoldData> prep_fold(const CvData& data, const CvFolds& folds, std::size_t f);

// Entry k-1 is W_k (P_k' W_k)^-1 Q_k, k = 1 .. k_used.
std::vector<Eigen::VectorXd> sweep_coefs(const Eigen::MatrixXd& w, const Eigen::MatrixXd& p,
                                         const Eigen::VectorXd& q, std::size_t k_used);

// Sequential below a million multiply-adds per product, else the 8 fixed parts.
Par cv_par(std::uint64_t n, std::uint64_t p, std::uint64_t k);

// Bytes of one fold on the fast pass, saturating: p columns, k components,
// v_max rows in the largest validation fold.
std::uint64_t cv_fold_bytes(std::uint64_t p, std::uint64_t k, std::uint64_t v_max);

// How one search scores the columns of a fold. `fast` may leave any column
// pending (empty); `exact` gives one value per pending column it is handed
// (ascending). An error of either ends the fold with it.
struct FoldScorer {
    std::size_t columns = 0;
    std::size_t k = 0;  // components of every fit, for the memory estimates
    std::function<Result<std::vector<std::optional<double>>>(const FoldData&)> fast;
    std::function<Result<std::vector<double>>(const FoldData&, std::span<const std::size_t>)>
        exact;
};

// One score vector per fold, in fold order: the fast pass over every fold,
// then the exact pass over the pending columns, each in memory-bounded
// batches. The first fold error in fold order fails the whole.
Result<std::vector<std::vector<double>>> cv_fold_scores(const CvData& data, const CvFolds& folds,
                                                        const FoldScorer& scorer);

}  // namespace veltra::select
