// The rows of one resampling unit (a random split, a cross-validation fold,
// a subsample draw and its holdout) and the one way such a unit fits on its
// training rows and scores its test rows: the training rows standardised
// over themselves with their own weights, the test rows with the training
// moments, each half's rows times the square roots of its weights.
//
// A half whose weights sum to zero has no effective rows. Its slice is
// marked massless, and a unit with such a half is never fitted or scored as
// if it were unweighted: its caller fails it or scores it 0.
//
// Units differ in a few arithmetic details that their results depend on bit
// for bit (whether the test rows are weighted, whether the blocks carry the
// row factors, where the training block's norm comes from); row_split and
// SplitPrep name them, so each caller states its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "veltra/standardize.hpp"
#include "veltra/view.hpp"

namespace veltra {

// One unit's training and test rows of 0 .. n-1, each in drawn order.
struct SplitIdx {
    std::vector<std::uint64_t> train;
    std::vector<std::uint64_t> test;
};

// The weights of one half. Absent without weights, for an empty half and
// when they are all equal to within 1e-12 after rescaling (the half then
// runs unweighted, exactly).
struct SliceWeights {
    std::optional<Eigen::VectorXd> w;     // rescaled to mean one over the half
    std::optional<Eigen::VectorXd> root;  // sqrt(w): the half's row factors
    // w rescaled to mean one once more: the weights every standardisation of
    // the half weighs its moments with. As w sums to the half's length only
    // up to rounding, this moves the last bit of most entries; it is formed
    // once here and handed to each step that standardises the half.
    std::optional<Eigen::VectorXd> moments;
    bool massless = false;  // the weights sum to zero: no effective rows

    // Weights that already have mean one over the half (the root and the
    // moment weights follow from them).
    static SliceWeights mean_one(Eigen::VectorXd w);
    std::optional<VecView> w_view() const;
    std::optional<VecView> root_view() const;
    std::optional<VecView> moment_view() const;
};

// Whether validated weights (finite, non-negative) leave no effective rows:
// none is positive, so they sum to zero.
bool has_no_weight(VecView w);

// The weights at the listed rows rescaled to mean one over them.
SliceWeights slice_weights(std::optional<VecView> weights, RowList rows);

// A unit's rows with the weights of both halves. The rows are borrowed from
// the SplitIdx they came from, which must outlive the RowSplit.
struct RowSplit {
    RowList train, test;
    SliceWeights w_train, w_test;

    // Either half has no effective rows.
    bool massless() const { return w_train.massless || w_test.massless; }
};

// weigh_test false leaves the test half without weights: its rows are
// scored as they stand.
RowSplit row_split(const SplitIdx& split, std::optional<VecView> weights, bool weigh_test = true);

// How a preparation forms its blocks.
struct SplitPrep {
    // Each block's rows times its half's row factors; without them only the
    // training moments are weighted.
    bool row_factors = true;
    // The training block's Frobenius norm: from the standardisation's norm
    // terms (false) or by stable_norm over the finished block (true).
    bool norm_of_block = false;
};

// The blocks of a unit (column-major, any layout of X read in place): the
// training rows standardised over themselves with the training half's
// moment weights, the test rows with the training mean and scale.
struct SplitBlocks {
    Eigen::MatrixXd train;
    Eigen::MatrixXd test;
    Eigen::VectorXd mean;
    Eigen::VectorXd scale;
    double fro = 0.0;  // Frobenius norm of the training block, as SplitPrep says

    bool all_finite() const { return train.allFinite() && test.allFinite(); }
};
// x may be a column block of the data: the weights are the split's, formed
// once. A massless half is standardised without weights; its caller reads
// nothing of it but whether it is finite.
SplitBlocks split_blocks(MatView x, RowList train, RowList test, const SliceWeights& w_train,
                         const SliceWeights& w_test, const SplitPrep& how = {});
inline SplitBlocks split_blocks(MatView x, const RowSplit& rows, const SplitPrep& how = {}) {
    return split_blocks(x, rows.train, rows.test, rows.w_train, rows.w_test, how);
}

// The no-refit products of a unit for response columns Y (one row per
// training row, in training order: each column centred, times the training
// row factors), from one read of each half per block of columns and without
// writing either standardised block: the prediction Z_test Z_train' Y, the
// blocks' Frobenius norms and the norm of Z_train's columns summed with the
// training row factors, which the weighted centring leaves at rounding
// level. The training moments and scales are those of split_blocks; the
// sums run in their own order. z_te is NaN when a sum of the pass was not
// finite (a non-finite entry, or x - mean out of range) or the test block's
// squares fall below the range where their plain sum is accurate: such a
// split has nothing to vouch for.
struct SplitProducts {
    Eigen::MatrixXd pred;   // test rows x columns of Y
    double z_tr = 0.0;      // from the standardisation's norm terms, as split_blocks
    double z_te = 0.0;
    double residual = 0.0;
};
SplitProducts split_products(MatView x, const RowSplit& rows, const Eigen::MatrixXd& y_train);

// Peak bytes of split_products on m training and nt test rows with the
// given number of response columns, beyond the Y it reads (saturating).
std::uint64_t split_products_bytes(std::uint64_t m, std::uint64_t nt, std::uint64_t columns);

// One split's design for a refit: its blocks, both halves' weights, and
// whether every entry of both blocks is finite.
struct PreparedSplit {
    Eigen::MatrixXd train;
    Eigen::MatrixXd test;
    Eigen::VectorXd mean;
    Eigen::VectorXd scale;
    SliceWeights w_train;
    SliceWeights w_test;
    double fro = 0.0;     // Frobenius norm of the (row-scaled) training block
    bool finite = false;  // every entry of both blocks is finite

    bool massless() const { return w_train.massless || w_test.massless; }
    // Something to fit: finite blocks and effective rows in both halves.
    bool fittable() const { return finite && !massless(); }
};
PreparedSplit prepare_split(MatView x, const SplitIdx& split, std::optional<VecView> weights,
                            const SplitPrep& how = {});

// y at the training rows standardised with the training moment weights,
// times the row factors; y at the test rows times the test row factors. y
// holds all n rows (the observed response or a permuted copy).
Eigen::VectorXd split_train_target(const SliceWeights& w_train, RowList train, VecView y);
Eigen::VectorXd split_test_target(const SliceWeights& w_test, RowList test, VecView y);

// Bytes of a unit's two p-column blocks of m training and nt test rows
// (saturating), and the largest such over the splits.
std::uint64_t split_blocks_bytes(std::uint64_t m, std::uint64_t nt, std::uint64_t p);
std::uint64_t split_blocks_bytes(std::span<const SplitIdx> splits, std::uint64_t p);

// Peak bytes of prepare_split on the largest of the splits: the two blocks,
// the column moments, the weight slices and the rows gathered while
// standardising.
std::uint64_t prepared_split_bytes(std::span<const SplitIdx> splits, std::uint64_t p);

// Peak bytes of one refit of k components on the m training rows of a unit
// of n rows and p columns, beyond the blocks it reads (saturating): the
// response column with its permutation, the training target with its
// gather, the fit, and the prediction with the test target. Every
// resampling loop sizes its refits by it.
std::uint64_t refit_bytes(std::uint64_t n, std::uint64_t m, std::uint64_t p, std::uint64_t k);

// Peak bytes of a split on the refit route: its prepared split and
// `columns` refits at once.
std::uint64_t split_refit_bytes(std::span<const SplitIdx> splits, std::uint64_t p,
                                std::uint64_t k, std::uint64_t columns = 1);

}  // namespace veltra
