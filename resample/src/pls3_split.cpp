#include "veltra/resample/pls3_split.hpp"

#include <algorithm>
#include <cmath>

#include "perm_support.hpp"
#include "veltra/correlation.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
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

double pls3_split_column_r_primal(MatView zx_tr, MatView zy_tr, MatView zx_te, MatView zy_te,
                                  double x_norm, const Pls3SplitSparse& sparse) {
    if (!zx_tr.eigen().allFinite() || !zy_tr.eigen().allFinite()) return 0.0;
    if (zx_tr.cols == 0 || zy_tr.cols == 0) return 0.0;
    const auto fit = pls3_lv1_prestd(zx_tr, zy_tr, x_norm, sparse.keep_X, sparse.keep_Y,
                                     sparse.max_iter, sparse.tol);
    if (!fit || fit->components.U.cols() == 0) return 0.0;
    const Eigen::VectorXd u = fit->components.U.col(0), v = fit->components.V.col(0);
    const Eigen::VectorXd t = mat_vec(zx_te, VecView::of(u), par_sequential);
    const Eigen::VectorXd s = mat_vec(zy_te, VecView::of(v), par_sequential);
    return pearson_r_guarded(VecView::of(t), VecView::of(s));
}

double pls3_fisher_z(double r) {
    return fisher_z(std::isnan(r) ? -0.9999 : r);
}

std::vector<double> pls3_split_columns_z_primal(MatView x, MatView y, const SplitIdx& split,
                                                std::span<const std::size_t> columns,
                                                RowPerms perms, const Pls3SplitSparse& sparse) {
    std::vector<double> z(columns.size(), 0.0);
    const StandardizedFro zx_tr = standardize_rows_fro(x, split.train);
    const Eigen::MatrixXd zx_te = standardize_apply_rows(x, split.test, VecView::of(zx_tr.mean),
                                                         VecView::of(zx_tr.scale));
    if (!zx_te.allFinite()) return z;
    for_each_index(par_parallel, columns.size(), [&](std::size_t i) {
        const std::size_t c = columns[i];
        const Standardized zy_tr =
            standardize_weighted(MatView::of(row_subset(y, column_rows(split.train, c, perms))));
        const Eigen::MatrixXd zy_te =
            standardize_apply(MatView::of(row_subset(y, column_rows(split.test, c, perms))),
                              VecView::of(zy_tr.mean), VecView::of(zy_tr.scale));
        if (!zy_te.allFinite()) return;
        z[i] = pls3_fisher_z(pls3_split_column_r_primal(
            MatView::of(zx_tr.x_std), MatView::of(zy_tr.x_std), MatView::of(zx_te),
            MatView::of(zy_te), zx_tr.fro, sparse));
    });
    return z;
}

std::uint64_t pls3_lv1_workspace_bytes(std::uint64_t p, std::uint64_t q) {
    const std::uint64_t r = std::min(p, q);
    const std::uint64_t svd = sat_mul(8, sat_add(sat_mul(ceil8(p), q), sat_mul(2, sat_mul(r, r))));
    return sat_add(sat_add(svd, sat_mul(sat_mul(ceil8(p), q), 8)),
                   sat_add(sat_mul(sat_mul(ceil8(p), r), 8), sat_mul(sat_mul(ceil8(q), r), 8)));
}

std::uint64_t primal_split_unit_bytes(std::span<const SplitIdx> splits, std::uint64_t p,
                                      std::uint64_t q, std::uint64_t columns) {
    const std::uint64_t at_once = std::min(detail::pool_threads(), columns);
    return sat_add(sat_mul(at_once, pls3_lv1_workspace_bytes(p, q)), split_blocks_bytes(splits, p));
}

std::size_t split_block_width(std::size_t n_train, std::size_t n_test) {
    const std::size_t rows = std::max<std::size_t>({n_train, n_test, 1});
    return std::max<std::size_t>(8, 2097152 / (8 * rows) / 8 * 8);
}

}  // namespace veltra::resample
