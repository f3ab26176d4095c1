#include "veltra/resample/pls3_split.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "perm_support.hpp"
#include "veltra/correlation.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/ordered_product.hpp"
#include "veltra/parallel.hpp"
#include "veltra/pls3.hpp"
#include "veltra/resample/splits.hpp"

namespace veltra::resample {

std::vector<std::uint64_t> column_rows(RowList rows, std::size_t c, RowPerms perms) {
    std::vector<std::uint64_t> out(rows.begin(), rows.end());
    if (c > 0)
        for (auto& r : out) r = perms[c - 1][r];
    return out;
}

namespace {

struct WeightPair {
    Eigen::VectorXd u, v;
};

// The first weight pair fitted on finite standardised training blocks; none
// when a block has no columns, the fit fails or it keeps no component.
std::optional<WeightPair> first_pair(MatView zx_tr, MatView zy_tr, double x_norm,
                                     const Pls3SplitSparse& sparse) {
    if (zx_tr.cols == 0 || zy_tr.cols == 0) return std::nullopt;
    const auto fit = pls3_lv1_prestd(zx_tr, zy_tr, x_norm, sparse.keep_X, sparse.keep_Y,
                                     sparse.max_iter, sparse.tol);
    if (!fit || fit->components.U.cols() == 0) return std::nullopt;
    return WeightPair{fit->components.U.col(0), fit->components.V.col(0)};
}

// Largest magnitude of Y and smallest scale for which every standardised
// value (y - mean) / scale is finite: |y - mean| <= 2^501, so the quotient
// stays below 2^1001.
constexpr double raw_score_bound = 0x1p500;

// The test half's Y scores Z_y,te v read straight from the listed rows of
// Y, for each row the sum over the columns in order of (y - mean_j) times
// v_j / scale_j: the standardised test block is never formed. Only for
// blocks whose standardised values are known to be finite
// (raw_score_bound). Each row's sum has the same order whichever way Y is
// walked: a row at a time when its entries are adjacent, else a column at a
// time with the rows in increasing order, so that a column is read forward.
Eigen::VectorXd raw_y_scores(MatView y, RowList rows, const Eigen::VectorXd& mean,
                             const Eigen::VectorXd& scale, const Eigen::VectorXd& v) {
    const Eigen::VectorXd w = v.cwiseQuotient(scale);
    const std::size_t m = rows.size();
    Eigen::VectorXd s = Eigen::VectorXd::Zero(to_index(m));
    if (y.is_row_major()) {
        for (std::size_t i = 0; i < m; ++i) {
            const double* row = y.data + static_cast<std::ptrdiff_t>(rows[i]) * y.row_stride;
            double sum = 0.0;
            for (std::size_t j = 0; j < y.cols; ++j)
                sum += (row[j] - mean[to_index(j)]) * w[to_index(j)];
            s[to_index(i)] = sum;
        }
        return s;
    }
    std::vector<std::size_t> order(m);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::ranges::sort(order, {}, [&](std::size_t i) { return rows[i]; });
    for (std::size_t j = 0; j < y.cols; ++j) {
        const double mu = mean[to_index(j)], wj = w[to_index(j)];
        for (const std::size_t i : order) s[to_index(i)] += (y(rows[i], j) - mu) * wj;
    }
    return s;
}

double scores_r(MatView zx_te, const Eigen::VectorXd& u, const Eigen::VectorXd& s) {
    const Eigen::VectorXd t = mat_vec(zx_te, VecView::of(u), par_sequential);
    return pearson_r_guarded(VecView::of(t), VecView::of(s));
}

}  // namespace

double pls3_split_column_r_primal(MatView zx_tr, MatView zy_tr, MatView zx_te, MatView zy_te,
                                  double x_norm, const Pls3SplitSparse& sparse) {
    if (!zx_tr.eigen().allFinite() || !zy_tr.eigen().allFinite()) return 0.0;
    const auto pair = first_pair(zx_tr, zy_tr, x_norm, sparse);
    if (!pair) return 0.0;
    return scores_r(zx_te, pair->u, mat_vec(zy_te, VecView::of(pair->v), par_sequential));
}

double pls3_fisher_z(double r) {
    return fisher_z(std::isnan(r) ? -0.9999 : r);
}

namespace {

// The training X of one split, standardised, with its test rows.
struct SplitX {
    StandardizedFro train;
    Eigen::MatrixXd test;
};

// Peak bytes of one response column of a split on the primal route, beyond
// the split's X blocks: its row lists, its standardised training and test Y
// (or the test scores read from Y), the test score vectors and the weights;
// X'Y with the copies and part sums of its product, then the first pair on
// it.
std::uint64_t primal_column_bytes(std::uint64_t m, std::uint64_t nt, std::uint64_t p,
                                  std::uint64_t q) {
    std::uint64_t bytes = sat_add(block_bytes(sat_add(m, nt), 1), block_bytes(q, 3));
    bytes = sat_add(bytes, sat_add(block_bytes(m, q), block_bytes(nt, q)));
    bytes = sat_add(bytes, sat_add(block_bytes(nt, 3), block_bytes(sat_add(p, q), 1)));
    return sat_add(bytes, std::max(ordered_product_bytes(p, m, q), pls3_lv1_workspace_bytes(p, q)));
}

// r of one response column on one split whose standardised X is finite; 0
// where the primal correlation gives 0 (a standardised Y that is not finite,
// no component). Where every standardised test value of Y is known to be
// finite (y_small and no scale below 1 / raw_score_bound), the test block is
// never formed.
double column_r(MatView y, const SplitX& sx, const SplitIdx& split, std::size_t c,
                RowPerms perms, bool y_small, const Pls3SplitSparse& sparse) {
    // Standardised straight from the listed rows of Y: the same values in the
    // same order as from a gathered copy, without the copy.
    const StandardizedFro zy_tr = standardize_rows_fro(y, column_rows(split.train, c, perms));
    const std::vector<std::uint64_t> test_rows = column_rows(split.test, c, perms);
    const MatView zx = MatView::of(sx.train.x_std), zx_te = MatView::of(sx.test);
    if (!y_small || !(zy_tr.scale.array() >= 1.0 / raw_score_bound).all()) {
        const Eigen::MatrixXd zy_te = standardize_apply_rows(
            y, test_rows, VecView::of(zy_tr.mean), VecView::of(zy_tr.scale));
        if (!zy_te.allFinite()) return 0.0;
        return pls3_split_column_r_primal(zx, MatView::of(zy_tr.x_std), zx_te,
                                          MatView::of(zy_te), sx.train.fro, sparse);
    }
    if (!zy_tr.x_std.allFinite()) return 0.0;
    const auto pair = first_pair(zx, MatView::of(zy_tr.x_std), sx.train.fro, sparse);
    if (!pair) return 0.0;
    return scores_r(zx_te, pair->u, raw_y_scores(y, test_rows, zy_tr.mean, zy_tr.scale, pair->v));
}

}  // namespace

std::vector<double> pls3_split_columns_z_primal(MatView x, MatView y, const SplitIdx& split,
                                                std::span<const std::size_t> columns,
                                                RowPerms perms, const Pls3SplitSparse& sparse) {
    const std::size_t C = columns.size();
    StandardizedFro zx_tr = standardize_rows_fro(x, split.train);
    Eigen::MatrixXd zx_te = standardize_apply_rows(x, split.test, VecView::of(zx_tr.mean),
                                                   VecView::of(zx_tr.scale));
    // A training X that is not finite gives r = 0 in every column.
    if (!zx_te.allFinite() || !zx_tr.x_std.allFinite()) return std::vector<double>(C, 0.0);
    const SplitX sx{std::move(zx_tr), std::move(zx_te)};
    const bool y_small =
        y.rows == 0 || y.cols == 0 ||
        (y.eigen().allFinite() && y.eigen().cwiseAbs().maxCoeff() <= raw_score_bound);
    // Every column in flight holds its own Y blocks and product: a budget
    // that holds fewer columns than there are threads runs fewer at once.
    const std::uint64_t bytes =
        primal_column_bytes(split.train.size(), split.test.size(), x.cols, y.cols);
    return detail::map_items(C, bytes, [&](std::size_t i) {
        return pls3_fisher_z(column_r(y, sx, split, columns[i], perms, y_small, sparse));
    });
}

std::uint64_t pls3_lv1_workspace_bytes(std::uint64_t p, std::uint64_t q) {
    const std::uint64_t r = std::min(p, q);
    const std::uint64_t svd = sat_mul(8, sat_add(sat_mul(ceil8(p), q), sat_mul(2, sat_mul(r, r))));
    return sat_add(sat_add(svd, sat_mul(sat_mul(ceil8(p), q), 8)),
                   sat_add(sat_mul(sat_mul(ceil8(p), r), 8), sat_mul(sat_mul(ceil8(q), r), 8)));
}

std::uint64_t primal_split_unit_bytes(std::span<const SplitIdx> splits, std::uint64_t p,
                                      std::uint64_t q, std::uint64_t columns) {
    if (splits.empty()) return 0;
    const std::uint64_t m = splits[0].train.size(), nt = splits[0].test.size();
    const std::uint64_t own =
        sat_add(split_blocks_bytes(splits, p), sat_add(block_bytes(p, 3), block_bytes(columns, 1)));
    return sat_add(own, detail::at_once_bytes(columns, primal_column_bytes(m, nt, p, q)));
}

std::size_t split_block_width(std::size_t n_train, std::size_t n_test) {
    const std::size_t rows = std::max<std::size_t>({n_train, n_test, 1});
    return std::max<std::size_t>(8, 2097152 / (8 * rows) / 8 * 8);
}

}  // namespace veltra::resample
