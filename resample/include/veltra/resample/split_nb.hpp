// Random train/test splits and the split-sample test of PLS1 that trusts a
// corrected t over them (split_nb): the exact per-split correlation by a
// refit on the training half, and the Nadeau-Bengio test on Fisher z values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "veltra/correlation.hpp"
#include "veltra/error.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/rng.hpp"
#include "veltra/standardize.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

// The error of a split test none of whose splits could be fitted: a
// p-value would read as an answer although there is no evidence at all.
VeltraError every_split_failed();

// Training rows of the PLS1 split tests: min(max(k + 2, n / 2), n - 3).
std::size_t split_train_size(std::size_t n, std::size_t k);

// n_splits splits of 0 .. n-1, each from its own child seed of rng; fails
// before any draw when n < k + 5.
Result<std::vector<SplitIdx>> draw_splits(std::size_t n, std::size_t k, std::size_t n_splits,
                                          ChaCha8Rng& rng);

// The weights of one half, rescaled to mean one over the half. Absent
// without weights, for an empty half and when they are all equal (the half
// then runs unweighted); `massless` marks a half whose weights sum to zero:
// it has no effective rows and its split cannot be fitted.
struct SliceWeights {
    std::optional<Eigen::VectorXd> w;
    std::optional<Eigen::VectorXd> root;  // sqrt(w): the half's row factors
    bool massless = false;
};
SliceWeights slice_weights(std::optional<VecView> weights, RowList rows);

// One split's design: the training rows standardised over themselves, the
// test rows with the training moments, both times their row factors.
struct PreparedSplit {
    Eigen::MatrixXd train;
    Eigen::MatrixXd test;
    Eigen::VectorXd mean;
    Eigen::VectorXd scale;
    SliceWeights w_train;
    SliceWeights w_test;
    double fro = 0.0;     // Frobenius norm of the training block
    bool finite = false;  // every entry of both blocks is finite
};
PreparedSplit prepare_split(MatView x, const SplitIdx& split, std::optional<VecView> weights);

// y at the training rows, standardised with the training weights, times the
// row factors; y at the test rows times the test row factors. y holds all n
// rows (the observed response or a permuted copy).
Eigen::VectorXd split_train_target(const SliceWeights& w_train, RowList train, VecView y);
Eigen::VectorXd split_test_target(const PreparedSplit& s, RowList test, VecView y);

// The test-half correlation of the refitted prediction; `fitted` is false
// when the split could not be fitted (non-finite blocks, a training half
// without weight, a rejected target or k), and r is then 0.
struct SplitR {
    double r = 0.0;
    bool fitted = false;
};
SplitR split_column_r(const PreparedSplit& s, const SplitIdx& split, VecView y, std::size_t k,
                      std::optional<std::size_t> keep);
SplitR split_half_r(MatView x, VecView y, std::size_t k, const SplitIdx& split,
                    std::optional<VecView> weights, std::optional<std::size_t> keep);

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

// Peak bytes of a split's two standardised blocks, the largest over the splits.
std::uint64_t split_blocks_bytes(std::span<const SplitIdx> splits, std::uint64_t p);

// Peak bytes of prepare_split on the largest of the splits: the two blocks,
// the column moments, the weight slices and the rows gathered while
// standardising.
std::uint64_t prepared_split_bytes(std::span<const SplitIdx> splits, std::uint64_t p);

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
