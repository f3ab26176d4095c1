// The per-split pieces of the two-block confirmatory test: the test-half
// correlation of the first latent-variable pair fitted on a split's training
// half, the Fisher z of one split for a list of row-permuted response
// blocks, the per-split byte estimate, and the walk over X in column blocks
// that the streamed and n-space routes share. None of them fails: a split
// whose data are not finite or that has no component contributes r = 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "veltra/linalg.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/standardize.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

// The kept-feature counts of the per-split fits (absent: every column) with
// the sparse alternation's limits.
struct Pls3SplitSparse {
    std::optional<std::uint64_t> keep_X;
    std::optional<std::uint64_t> keep_Y;
    std::uint64_t max_iter = 100;
    double tol = 1e-8;
};

// Row permutations of the response block: column c >= 1 reads row
// perms[c - 1][r] of Y for observation r; column 0 is Y itself.
using RowPerms = std::span<const std::vector<std::uint64_t>>;

// The rows of Y that response column c reads for the listed observations.
std::vector<std::uint64_t> column_rows(RowList rows, std::size_t c, RowPerms perms);

// The correlation of the first latent-variable pair fitted on standardised
// training blocks, between the test halves' X and Y scores; 0 when the
// training blocks are not finite, a block has no columns, or the fit yields
// no component.
double pls3_split_column_r_primal(MatView zx_tr, MatView zy_tr, MatView zx_te, MatView zy_te,
                                  double x_norm, const Pls3SplitSparse& sparse);

// Fisher z (of r clamped to +-0.9999, a NaN r at the lower clamp) of one
// split for each listed response column, in list order; columns run in
// parallel, fewer at once than there are threads when the memory budget
// holds fewer.
std::vector<double> pls3_split_columns_z_primal(MatView x, MatView y, const SplitIdx& split,
                                                std::span<const std::size_t> columns,
                                                RowPerms perms, const Pls3SplitSparse& sparse);

// atanh of r clamped to [-0.9999, 0.9999]; a NaN r counts as -0.9999.
double pls3_fisher_z(double r);

// Bytes of one first-pair fit of a p x q cross covariance: its thin SVD's
// workspace (Eigen's copy of the matrix and the two square factors), the
// matrix itself and the two weight blocks. The same figure covers the fit
// that avoids the SVD (a scaled copy of the matrix, the Gram matrix of its
// shorter side, the Lanczos basis and the factorised matrix), which is
// released before any SVD starts.
std::uint64_t pls3_lv1_workspace_bytes(std::uint64_t p, std::uint64_t q);

// Peak bytes of one split on the primal route with `columns` response
// columns: the split's standardised X blocks with their moments and its z
// row, and per thread that may run a column, the column's standardised Y
// blocks, its X'Y product and first-pair workspace.
std::uint64_t primal_split_unit_bytes(std::span<const SplitIdx> splits, std::uint64_t p,
                                      std::uint64_t q, std::uint64_t columns);

// Columns of one block of standardised X: about 2 MiB of the larger half,
// a multiple of 8, at least 8.
std::size_t split_block_width(std::size_t n_train, std::size_t n_test);

// Walks X in column blocks of split_block_width: each block standardised on
// the training rows and applied to the test rows, then body(first column,
// training block with its moments and norm, test block). Returns the
// Frobenius norm of the whole standardised training X from the block norms.
template <class Body>
double for_each_split_block(MatView x, const SplitIdx& split, Body&& body) {
    const std::size_t w = split_block_width(split.train.size(), split.test.size());
    std::vector<double> norms;
    for (std::size_t j0 = 0; j0 < x.cols; j0 += w) {
        const MatView block{x.data + static_cast<std::ptrdiff_t>(j0) * x.col_stride, x.rows,
                            std::min(w, x.cols - j0), x.row_stride, x.col_stride};
        const StandardizedFro tr = standardize_rows_fro(block, split.train);
        const Eigen::MatrixXd te = standardize_apply_rows(block, split.test, VecView::of(tr.mean),
                                                          VecView::of(tr.scale));
        norms.push_back(tr.fro);
        body(j0, tr, te);
    }
    return stable_norm(VecView{norms.data(), norms.size(), 1});
}

}  // namespace veltra::resample
