// The n-space routes of the PLS1 tests: one split of the split-exact test,
// one fold of the raw-permutation test, one row of the permutation null.
// Each fits the unit's many response columns (the observed response and its
// permuted copies) through the n-space kernel, and leaves a column pending,
// or refits it exactly, wherever the kernel or the route's own checks
// cannot vouch for it. Which route runs, and how units are batched, is the
// calling test's choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/parallel.hpp"
#include "veltra/resample/cv_fold.hpp"
#include "veltra/resample/dual_route/multi_k.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/resample/splits.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

// The Gram structure of a unit's standardised training block and the
// cross products Z_test Z_train' of its test block; par is the calling
// test's setting for the two products.
struct NspaceTrainTest {
    NspaceGram gram;
    Eigen::MatrixXd cross;  // m_te x m_tr
    NspaceTrainTest(MatView train, MatView test, Par par);
};
// Peak bytes of building an NspaceTrainTest from m training and nt test
// rows over p columns (saturating): each product with its operand copies,
// the Gram matrix already held while the cross products are formed.
std::uint64_t nspace_train_test_bytes(std::uint64_t m, std::uint64_t nt, std::uint64_t p);

struct NspaceSplit : NspaceTrainTest {
    NspaceSplit(const PreparedSplit& s, Par par);
};
struct NspaceFold : NspaceTrainTest {
    NspaceFold(const CvFold& fold, Par par);
};

// Test-half correlations of the C columns of `values` (n x C, all rows),
// each fitted with k components on the training rows; empty where pending.
std::vector<std::optional<double>> split_columns_r_nspace(const SplitIdx& split,
                                                          const NspaceSplit& s, MatView values,
                                                          std::size_t k);

// One column's (SS_res, SS_tot) on the fold, by the exact refit where the
// kernel cannot vouch for it (and on a weighted fold, which the kernel's
// unweighted targets do not fit).
Result<CvContribution> fold_column_nspace(const CvFold& fold, const NspaceFold& f, VecView column,
                                          std::size_t k);

// Z'alpha of the fit of y permuted by perm (entry i is y[perm[i]]) into row
// (p entries); false, with row untouched, when the kernel cannot vouch for
// it and the caller must refit.
bool nspace_perm_row(const NspaceGram& g, MatView z, VecView y, std::span<const std::uint64_t> perm,
                     std::size_t k, std::span<double> row);

// A fold column's result in the one-component pass: empty while pending.
using CvCell = std::optional<Result<CvContribution>>;

// One-component cross-validation of every column of Y (n x C: the observed
// response and its permuted copies) over the folds, without weights. The
// per-fold pass reads X once, in blocks of about 2 MiB of standardised
// columns, and leaves pending what it cannot vouch for; the refill then
// computes those columns by exact refits.
class Pls1CvR2Columns {
  public:
    Pls1CvR2Columns(MatView x, MatView y, Folds folds) : x_(x), y_(y), folds_(folds) {}

    std::vector<CvCell> fold_pass(std::size_t f) const;
    // Standardised columns per block of a fold with r training and t test
    // rows: about 2 MiB of the larger half, a multiple of 8, at least 8.
    static std::size_t block_width(std::size_t r, std::size_t t);
    // The fill function of fill_pending: fold f prepared once, its pending
    // columns fitted in parallel (as many at once as the memory budget holds
    // at fit_bytes each), in the order given. A failed fit gives a NaN SS_res.
    std::vector<Result<CvContribution>> refill(std::size_t f, std::span<const std::size_t> pending,
                                               std::uint64_t fit_bytes) const;

  private:
    MatView x_, y_;
    Folds folds_;
};

}  // namespace veltra::resample
