// The two permutation tests of PLS1. split_exact: the mean Fisher z of the
// test-half correlations over fixed random splits, against the same mean for
// permuted copies of y. raw_perm: the pooled out-of-fold R^2 over fixed
// folds, against the same for permuted copies of y.
//
// Each test runs on one of several routes, picked by a rule on the
// problem's sizes: an exact refit per unit and column, and faster routes
// that fit many columns at once (in p-space through X'X, in n-space through
// the training rows' Gram matrix, or in closed form for one component).
// A fast route reports only values it can vouch for against a rounding
// bound and hands every other one to the refit, so the route changes the
// cost, never the answer beyond rounding. Columns are grouped by a width
// fixed by the data's shape, and splits, folds and permutation seeds are
// drawn before any work: the answer depends neither on the thread count nor
// on the memory budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/gram_p.hpp"
#include "veltra/resample/splits.hpp"
#include "veltra/rng.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

struct PermTestResult {
    double pvalue;
    double statistic;
};

// (1 + the permuted statistics that reach the observed one or are not
// usable) / (B + 1); 1 when the observed statistic is not finite, which is
// no evidence at all.
double perm_pvalue(double observed, std::span<const double> permuted, bool (*unusable)(double));

// Routes of split_exact.
enum class SplitExactRoute : std::uint8_t { no_refit = 0, refit = 1, nspace = 2, gram_p = 3 };

SplitExactRoute split_exact_refit_route(std::uint64_t n, std::uint64_t p, std::uint64_t n_perm,
                                        std::uint64_t k, std::optional<std::uint64_t> keep,
                                        bool weighted);

// z-bar_c: the mean of column c over the rows (one per split), summed in
// split order.
std::vector<double> zbars_from_rows(std::size_t n_columns,
                                    std::span<const std::vector<double>> rows);

// The p-space data of one split: the Gram block of its training block and
// the Frobenius norm of its test block. Borrows the split's blocks.
struct SplitGram {
    GramPBlock block;
    double test_fro;
    SplitGram(const PreparedSplit& s, Par par);
};

// Test-half correlations of the columns of `values` (n x w, all rows) by
// the p-space Gram route; empty where the fit or the correlation cannot be
// vouched for and the refit must decide.
std::vector<std::optional<double>> split_columns_r_gram_p(const SplitGram& g,
                                                          const PreparedSplit& s,
                                                          const SplitIdx& split, MatView values,
                                                          std::size_t k,
                                                          std::optional<std::size_t> keep);

// split_exact on the refit, n-space or p-space Gram route: splits from
// child seeds, then the permutation seeds. Weights are the validated ones
// (none when uniform).
Result<PermTestResult> run_split_perm(SplitExactRoute route, MatView x, VecView y, std::size_t k,
                                      std::size_t n_perm, std::size_t n_splits,
                                      std::optional<VecView> weights,
                                      std::optional<std::size_t> keep, ChaCha8Rng& rng);

// split_exact at one component without keep, in closed form: the splits and
// then the permutations are drawn directly from rng, so they differ from
// those of run_split_perm for the same seed.
Result<PermTestResult> run_split_perm_nr(MatView x, VecView y, std::size_t k,
                                         std::size_t n_perm, std::size_t n_splits,
                                         std::optional<VecView> weights,
                                         std::optional<std::size_t> keep, ChaCha8Rng& rng);

// Routes of raw_perm: the one-component n-space pass over X, the refit, the
// two-component n-space route, the p-space Gram route.
enum class RawPermRoute : std::uint8_t { nspace_cv, refit, nspace, gram_p };

RawPermRoute raw_perm_route(std::uint64_t n, std::uint64_t p, std::uint64_t n_perm,
                            std::uint64_t n_folds, std::uint64_t k,
                            std::optional<std::uint64_t> keep, bool weighted);

// raw_perm on the route the rule picks; 2 <= n_folds < n and n_perm >= 1
// are the caller's to ensure.
Result<PermTestResult> run_raw_perm(MatView x, VecView y, std::size_t k, std::size_t n_perm,
                                    std::size_t n_folds, std::optional<VecView> weights,
                                    std::optional<std::size_t> keep, ChaCha8Rng& rng);

// The same on a given route; nspace_cv needs k = 1 without weights or keep.
Result<PermTestResult> run_raw_perm_on(RawPermRoute route, MatView x, VecView y, std::size_t k,
                                       std::size_t n_perm, std::size_t n_folds,
                                       std::optional<VecView> weights,
                                       std::optional<std::size_t> keep, ChaCha8Rng& rng);

}  // namespace veltra::resample
