// Choice of the PLS1 component count and of the kept-feature count: by
// cross-validated R^2 (the largest mean, or the one-standard-error rule), and
// the component count also by BIC. Every random choice (the fold shuffle)
// comes from the call's generator; the result is the same bits for every
// thread count and memory budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "veltra/error.hpp"
#include "veltra/rng.hpp"
#include "veltra/view.hpp"

namespace veltra::select {

// Score per candidate (component count or kept-feature count), keys ascending.
using ScoreMap = std::map<std::uint64_t, double>;

enum class CvRule : std::uint8_t { max_mean = 0, one_se = 1 };

struct CvPick {
    std::uint64_t k_star = 0;
    ScoreMap mean;
    ScoreMap se;
};

// Mean and standard error of the finite fold scores of every candidate (NaN
// for a candidate without one), then the pick: the largest finite mean
// (ties to the larger candidate), or under one_se the smallest candidate
// whose mean reaches the best mean minus its standard error. The first
// candidate when no mean is finite. fold_scores[f][c] belongs to candidates[c].
CvPick aggregate_and_pick(const std::vector<std::vector<double>>& fold_scores,
                          std::span<const std::uint64_t> candidates, CvRule rule);

// max(min(n - 2, n_folds), 2), with n - 2 taken as 0 below n = 2.
std::size_t cv_fold_count(std::size_t n, std::size_t n_folds);

// Refuses a capped fold count that leaves single-row validation folds.
Result<void> reject_cv_leave_one_out(std::size_t n, std::size_t requested, std::size_t capped);

struct CvSelection {
    std::uint64_t k_star = 0;  // 0 when the data hold no component
    ScoreMap cv_scores;
    std::optional<ScoreMap> cv_scores_se;  // under one_se only
};

// The component count in 1 .. min(k_max, n - F - 2) (at least 1) by
// cross-validated R^2 over F folds drawn from rng. Weights are the validated
// ones rescaled to mean one (none for uniform weights).
Result<CvSelection> select_cv(MatView x, VecView y, std::size_t k_max, std::size_t n_folds,
                              CvRule rule, std::optional<VecView> weights,
                              std::optional<std::size_t> keep, ChaCha8Rng& rng);

struct BicSelection {
    std::uint64_t k_star = 0;  // 0 when the data hold no component
    ScoreMap bic_scores;
};

// BIC(k) = n_eff ln(RSS_k / n_eff) + k ln(n_eff) of one k_max-component fit,
// minimised over k = 1 .. k_used (a NaN value never wins).
Result<BicSelection> select_bic(MatView x, VecView y, std::size_t k_max,
                                std::optional<VecView> weights, std::optional<std::size_t> keep,
                                double n_eff);

// 1, 2, 4, ... below p, then p; [p] for p < 2.
std::vector<std::uint64_t> keep_grid(std::size_t p);

struct FindKeepOptimalOutput {
    std::uint64_t keep_star = 0;  // 0 when the data hold no component
    std::uint64_t k = 0;
    ScoreMap cv_scores;
    ScoreMap cv_scores_se;
    std::vector<std::uint64_t> keep_grid;
    std::uint64_t seed = 0;
    double n_eff = 0.0;
};

// The kept-feature count of a k-component sparse PLS1 on the keep grid by
// cross-validated R^2 with the one-standard-error rule. Public entry: reads
// the run settings first. With verbose, one line goes to standard error.
Result<FindKeepOptimalOutput> spls1_find_keep_optimal(MatView x, VecView y, std::size_t k,
                                                      std::size_t n_folds,
                                                      std::optional<std::uint64_t> seed,
                                                      bool verbose,
                                                      std::optional<VecView> weights);

}  // namespace veltra::select
