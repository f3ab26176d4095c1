// Sequential tests of PLS1 components: component j is tested for signal at
// k = 1 on what is left once the first j - 1 components of a fit on the
// standardised data are removed. The method is resolved once, on X, before
// the first test; each test then runs it as it stands with the j-th seed of
// the run's generator, so the p-values are the same bits for every thread
// count and memory budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/resample/confirmatory_method.hpp"
#include "veltra/view.hpp"

namespace veltra::select {

// A test method with its counts; never `score`, which has no sequential
// form. raw_perm always runs 5 folds.
using SequentialKind = resample::ConfirmatoryArgs;

struct SequentialArgs {
    std::optional<std::uint64_t> seed;
    std::optional<std::size_t> keep;  // sparse searches only (keep < p)
    SequentialKind method;
    double alpha = 0.05;
    bool continue_all = false;  // test every component up to k_max
    bool pre_standardized = false;
    bool verbose = false;

    // The method with its default counts; none for score.
    static std::optional<SequentialKind> defaults_for(resample::ConfirmatoryMethod method);
};

struct SequentialRun {
    bool found = false;  // some component was rejected
    std::uint64_t k_star = 0;
    std::optional<double> stable_rank;  // when the split-method gate ran
    std::string test_method;            // as resolved, never "auto"
    Eigen::VectorXd pvalues;            // k_max entries, NaN where untested
    std::uint64_t seed = 0;
};

// "{label} uses 5-fold CV and needs n > 5 ..." when n <= 5: the folds of the
// sequential raw_perm would be single rows.
Result<void> check_raw_perm_rows(std::string_view label, std::size_t n);

// Weights are the validated ones rescaled to mean one (none for uniform
// weights); n_eff comes from their validation.
Result<SequentialRun> run_incremental_sequence(MatView x, VecView y, std::size_t k_max,
                                               std::optional<VecView> weights,
                                               const SequentialArgs& args, double n_eff);

}  // namespace veltra::select
