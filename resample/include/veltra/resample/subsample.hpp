// m-out-of-n subsample confidence intervals of a PLS1 fit: the leverage of
// every row, every raw-scale coefficient (corrected for the shrinkage that
// subsampling causes) and the out-of-sample correlation of the prediction
// with y. Each draw fits on m rows, scores the other n - m, and fits once
// more on n rows drawn with replacement; draws run through the resampling
// engine, each on its own generator. The options are shared with rotation
// stability.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/fit.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/rng.hpp"
#include "veltra/standardize.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

struct SubsampleOpts {
    std::uint64_t n_boot = 1000;
    double m_rate = 0.7;  // m = ceil(n^m_rate)
    double level = 0.95;
    double max_failure_rate = 0.01;
    double max_skip_rate = 0.01;

    // The ranges of the five options, in field order except n_boot third;
    // NaN fails every check.
    Result<void> validate() const;
};

// The subsample size of n rows: m = ceil(n^m_rate), saturating, which must
// leave a holdout row and reach k + 2. Its users word the first refusal each
// their own way: "resolved m = {} (from n={}, m_rate={}) {too_large}; need
// m < n".
Result<std::size_t> resolve_subsample_m(std::size_t n, std::size_t k, double m_rate,
                                        std::string_view too_large);

// The subsample size of the confirmatory intervals: "... leaves no holdout".
Result<std::size_t> resolve_ci_m(std::size_t n, std::size_t k, double m_rate);

// The m subsample rows and the n - m holdout rows of one draw: the cut of a
// full shuffle, exactly as one_split draws it.
inline SplitIdx subsample_indices(std::size_t n, std::size_t m, ChaCha8Rng& rng) {
    return one_split(n, m, rng);
}

// A point estimate with its interval and spread.
struct CIScalar {
    double point = 0.0;
    double lower = 0.0;
    double upper = 0.0;
    double sd = 0.0;
};

struct ConfirmatoryCI {
    std::uint64_t n_boot = 0;
    std::uint64_t m = 0;
    double m_rate = 0.0;
    double level = 0.0;
    Eigen::VectorXd beta_sign_z;         // p
    Eigen::VectorXd beta_sign_z_signed;  // p: b_j / beta_se_j
    Eigen::VectorXd leverage_ci_lower;   // n
    Eigen::VectorXd leverage_ci_upper;   // n
    Eigen::VectorXd leverage_se;         // n
    Eigen::VectorXd beta_ci_lower;       // p
    Eigen::VectorXd beta_ci_upper;       // p
    Eigen::VectorXd beta_se;             // p
    CIScalar holdout_corr;
    std::uint64_t n_boot_finite = 0;
    std::uint64_t n_boot_finite_holdout_corr = 0;
};

// The fit of k components on listed rows (repeats allowed) with their
// weights renormalised over the list, with the moments the rows were
// standardised by: zero means and unit scales for pre-standardised data.
// The rows are standardised over themselves unless pre_standardized; the
// fit then runs with fit_opts as given (its own pre_standardized says
// whether the fit standardises once more).
struct RowsFit {
    Pls1Model model;
    Eigen::VectorXd x_mean;
    Eigen::VectorXd x_scale;
    double y_scale = 1.0;
};
Result<RowsFit> fit_rows(MatView x, VecView y, RowList rows, std::size_t k, bool pre_standardized,
                         std::optional<VecView> weights, const FitOpts& fit_opts);

// The options of a subsample interval's fits: the data's own
// pre_standardized, strict, and sequential because the draws already run in
// parallel.
FitOpts subsample_fit_opts(bool pre_standardized);

// One draw: its row, or why it has none. Skipped: a fit refused for too few
// effective rows; Failed: any other fit error.
struct ConfirmatoryWorkerRow {
    Eigen::VectorXd leverage;  // n, by drawn position of the with-replacement fit
    Eigen::VectorXd beta;      // p, raw scale, from the subsample fit
    double holdout_r = 0.0;    // may be NaN
};
struct WorkerOutcome {
    enum class Kind : std::uint8_t { Row, Skipped, Failed };
    Kind kind = Kind::Failed;
    ConfirmatoryWorkerRow row;
};

// One draw, the work of one unit of the engine: the shuffle cut at m, then
// n rows drawn with replacement, then the two fits; a fit error becomes
// the outcome.
WorkerOutcome subsample_draw(MatView x, VecView y, std::size_t k, std::size_t m,
                             bool pre_standardized, std::optional<VecView> weights,
                             ChaCha8Rng& rng);

// The intervals around the full-data fit (its raw-scale beta and its row
// leverages), from opts.n_boot draws whose seeds come from rng. The options
// and m are checked first. weights are the validated, normalised weights of
// the full fit (none when uniform).
Result<ConfirmatoryCI> pls1_subsample_inference_confirmatory(
    MatView x, VecView y, std::size_t k, const Pls1Model& full_fit, VecView leverages,
    const SubsampleOpts& opts, bool pre_standardized, std::optional<VecView> weights,
    ChaCha8Rng& rng);

// The two rate checks, then the intervals around the full fit, from the
// draws' outcomes in draw order; apart from the loop, so that it can be
// checked on outcomes made by hand.
Result<ConfirmatoryCI> reduce_subsample_outcomes(std::span<const WorkerOutcome> outcomes,
                                                 const Pls1Model& full_fit, VecView leverages,
                                                 const SubsampleOpts& opts, std::size_t m);

// A reflected interval around est from the draws' deviations value - est
// (NaN draws dropped), type-7 quantiles, widths times scale; se is scale
// times their sample standard deviation.
struct CenteredInterval {
    double estimate;
    double lower;
    double upper;
    double se;
};
CenteredInterval reduce_centered_scaled(std::span<const double> values, double est, double scale,
                                        double level);

}  // namespace veltra::resample
