// The public component searches of PLS1 and sparse PLS1: the optimal one
// (cross-validated R^2 under the one-standard-error or the largest-mean rule,
// or BIC, with an optional diagnostic of sequential p-values up to the
// choice) and the sequential one (test component after component until one
// is not significant). Each call draws from one generator: the fold shuffle
// first, then the seed of the sequential tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/resample/confirmatory_method.hpp"
#include "veltra/select/find_k.hpp"
#include "veltra/view.hpp"

namespace veltra::select {

enum class Selector : std::uint8_t { r2_se = 0, r2_max = 1, bic = 2 };

std::string_view selector_name(Selector selector);

struct FindKOpts {
    std::optional<std::uint64_t> seed;
    std::uint64_t n_folds = resample::default_n_folds;  // of the CV selectors
    bool pre_standardized = false;
    bool verbose = false;
    Selector selector = Selector::r2_se;
    std::optional<resample::ConfirmatoryArgs> diagnostic;  // the sequential tests' method
};

struct FindKOptimalOutput {
    std::uint64_t k_star = 0;  // 0 when no component can be fitted
    std::string selector;
    std::optional<ScoreMap> cv_scores;     // r2_se and r2_max
    std::optional<ScoreMap> cv_scores_se;  // r2_se
    std::optional<ScoreMap> bic_scores;    // bic
    std::optional<Eigen::VectorXd> pvalues;  // with a diagnostic: components 1 .. k_star
    std::optional<std::string> diagnostic;   // the diagnostic method as run
    std::uint64_t seed = 0;
    double n_eff = 0.0;
    std::optional<double> stable_rank;
};

Result<FindKOptimalOutput> pls1_find_k_optimal(MatView x, VecView y, std::size_t k_max,
                                               std::optional<VecView> weights,
                                               const FindKOpts& opts);
// keep = p runs the dense search.
Result<FindKOptimalOutput> spls1_find_k_optimal(MatView x, VecView y, std::size_t k_max,
                                                std::size_t keep, std::optional<VecView> weights,
                                                const FindKOpts& opts);

struct FindKSequenceOpts {
    std::optional<std::uint64_t> seed;
    double alpha = 0.05;
    bool pre_standardized = false;
    bool verbose = false;
    resample::ConfirmatoryArgs test;
};

struct FindKSequenceOutput {
    std::uint64_t k_star = 0;  // 0 when no component was rejected
    Eigen::VectorXd pvalues;   // k_max entries, NaN where untested
    std::string test_method;   // as resolved, never "auto"
    double alpha = 0.0;
    std::uint64_t seed = 0;
    double n_eff = 0.0;
    std::optional<double> stable_rank;  // when the split-method gate ran
};

Result<FindKSequenceOutput> pls1_find_k_sequence(MatView x, VecView y, std::size_t k_max,
                                                 std::optional<VecView> weights,
                                                 const FindKSequenceOpts& opts);
// keep = p runs the dense search.
Result<FindKSequenceOutput> spls1_find_k_sequence(MatView x, VecView y, std::size_t k_max,
                                                  std::size_t keep,
                                                  std::optional<VecView> weights,
                                                  const FindKSequenceOpts& opts);

}  // namespace veltra::select
