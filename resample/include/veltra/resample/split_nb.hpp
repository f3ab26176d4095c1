// The split-sample test of PLS1 that trusts a corrected t over random
// splits (split_nb): the exact per-split correlation by a refit on the
// training half (or the no-refit pass at one component), and the
// Nadeau-Bengio test on their Fisher z values.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "veltra/correlation.hpp"
#include "veltra/error.hpp"
#include "veltra/rng.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

// Nadeau-Bengio corrected resampled t on the Fisher z of the correlations:
// one-sided p of Student's t with J - 1 degrees of freedom, the statistic
// tanh(mean z), t and df.
struct NbTest {
    double p;
    double statistic;
    double t;
    double df;
};
NbTest nb_test(std::span<const double> r, std::size_t n_train, std::size_t n_test);

// Split-stability estimate 1 - (n_test - 3) var(z), clamped to [0, 1];
// absent when n_test < 4.
std::optional<double> nb_rho_hat(std::span<const double> r, std::size_t n_test);

struct SplitTestResult {
    double pvalue;
    double statistic;
    std::optional<double> rho_hat;
};

// The split_nb test. Weights are the validated ones rescaled to mean one, or
// none (uniform weights are none: they never change the answer); with
// weights no rho_hat is reported.
Result<SplitTestResult> run_split_nb(MatView x, VecView y, std::size_t k, std::size_t n_splits,
                                     std::optional<VecView> weights,
                                     std::optional<std::size_t> keep, ChaCha8Rng& rng);

}  // namespace veltra::resample
