// The n-space route of split_exact on two blocks: per split one m x m Gram
// matrix G = Z_tr Z_tr' of the standardised training X and one cross
// product K = Z_te Z_tr' serve every response column. The first Y weight is
// the top eigenvector of M = Ys_tr' G Ys_tr (q x q), and K Ys_tr v is the
// test half's X score up to a positive factor. A value that the rounding
// allowances cannot vouch for stays pending for the primal route.
#include <algorithm>
#include <cmath>
#include <limits>

#include "perm_support.hpp"
#include "veltra/correlation.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/resample/pls3_signal_test.hpp"
#include "veltra/resample/signal_test.hpp"
#include "veltra/resample/splits.hpp"
#include "veltra/selection.hpp"

namespace veltra::resample {

namespace {

struct TwoBlockGram {
    Eigen::MatrixXd G;  // m_tr x m_tr
    Eigen::MatrixXd K;  // m_te x m_tr
    double fro = 0.0;   // Frobenius norm of the standardised training X
};

TwoBlockGram split_gram(MatView x, const SplitIdx& split) {
    const auto m_tr = to_index(split.train.size()), m_te = to_index(split.test.size());
    TwoBlockGram s{Eigen::MatrixXd::Zero(m_tr, m_tr), Eigen::MatrixXd::Zero(m_te, m_tr), 0.0};
    s.fro = for_each_split_block(
        x, split, [&](std::size_t, const StandardizedFro& tr, const Eigen::MatrixXd& te) {
            const MatView z_tr_t = MatView::of(tr.x_std).transposed();
            s.G += mat_mul(MatView::of(tr.x_std), z_tr_t, par_parallel);
            s.K += mat_mul(MatView::of(te), z_tr_t, par_parallel);
        });
    return s;
}

// What the checks of one cell leave: a weight vector, a pending cell, or
// the value 0 (a selection without norm).
struct YWeight {
    enum class Kind : std::uint8_t { weight, pending, zero } kind;
    Eigen::VectorXd v;
};

// The sparse Y weight by alternation from the top eigenvector, as the
// primal route's sparse fit with every X column kept would find it, or
// pending wherever that fit's path cannot be vouched for.
YWeight sparse_y_weight(const Eigen::MatrixXd& m, const EigenResult& eig, std::uint64_t keep,
                        const Pls3SplitSparse& sparse, double floor, double t_floor) {
    using K = YWeight::Kind;
    const Eigen::Index q = m.rows();
    const double l1 = eig.values[q - 1], l2 = eig.values[q - 2];
    if (l1 - l2 < 1e-4 * l1) return {K::pending, {}};
    Eigen::VectorXd v_new = eig.vectors.col(q - 1), v = Eigen::VectorXd::Zero(q);
    const double tol = sparse.tol, tol_near = std::max(tol * 1e-5, 1e-13);
    std::uint64_t t = 0;
    for (std::uint64_t it = 1; it <= sparse.max_iter; ++it) {
        v = v_new;
        Eigen::VectorXd x = mat_vec(MatView::of(m), VecView::of(v), par_sequential);
        const double hi = x.cwiseAbs().maxCoeff();
        if (selected_norm_and_gap(x, keep).gap <= 1e-10 * hi) return {K::pending, {}};
        if (!select_and_normalize(x, keep, 1e-14)) return {K::zero, {}};
        v_new = std::move(x);
        const double delta = (v_new - v).cwiseAbs().maxCoeff();
        if (std::fabs(delta - tol) <= tol_near) return {K::pending, {}};
        t = it;
        if (delta < tol) break;
    }
    if (t > 400 && restricted_sweeps(m, v_new) > 400.0) return {K::pending, {}};
    const Eigen::VectorXd w = mat_vec(MatView::of(m), VecView::of(v), par_sequential);
    const double s1 = v_new.dot(w), s2 = v.dot(w);
    if (!(s1 >= floor) || !(s2 >= floor) || !(s1 >= t_floor * std::sqrt(s2)) ||
        !(s1 >= 1e-12 * std::sqrt(s2)))
        return {K::pending, {}};
    return {K::weight, std::move(v_new)};
}

struct CellInputs {
    const TwoBlockGram& s;
    MatView x;
    MatView y;
    const SplitIdx& split;
    RowPerms perms;
    const Pls3SplitSparse& sparse;
    double E;
};

std::optional<double> nspace_cell(const CellInputs& in, std::size_t c) {
    using K = YWeight::Kind;
    const Standardized ys_tr = standardize_weighted(
        MatView::of(row_subset(in.y, column_rows(in.split.train, c, in.perms))));
    const Eigen::MatrixXd ys_te =
        standardize_apply(MatView::of(row_subset(in.y, column_rows(in.split.test, c, in.perms))),
                          VecView::of(ys_tr.mean), VecView::of(ys_tr.scale));
    if (!ys_te.allFinite()) return 0.0;
    const MatView ys = MatView::of(ys_tr.x_std);
    const Eigen::MatrixXd a = mat_mul(MatView::of(in.s.G), ys, par_sequential);
    const Eigen::MatrixXd m = mat_mul(ys.transposed(), MatView::of(a), par_sequential);
    const auto eig = self_adjoint_eigen(MatView::of(m), par_sequential);
    if (!eig) return 0.0;
    const std::size_t q = in.y.cols, p = in.x.cols, m_tr = in.split.train.size();
    const double l1 = eig->values[to_index(q - 1)];
    const double ny = stable_norm(ys);
    const double t_floor = 8.0 * ny * in.s.fro * static_cast<double>(std::max({q, p, m_tr})) * eps;
    const double floor = 4.0 * ny * ny * in.E;
    if (!(l1 >= floor) || !(l1 >= 1e-12 * std::sqrt(l1)) || !(l1 >= t_floor * std::sqrt(l1)))
        return std::nullopt;
    YWeight yw{K::weight, eig->vectors.col(to_index(q - 1))};
    if (in.sparse.keep_Y && *in.sparse.keep_Y < q)
        yw = sparse_y_weight(m, *eig, *in.sparse.keep_Y, in.sparse, floor, t_floor);
    if (yw.kind == K::pending) return std::nullopt;
    if (yw.kind == K::zero) return 0.0;
    const Eigen::VectorXd scores_tr = mat_vec(ys, VecView::of(yw.v), par_sequential);
    const Eigen::VectorXd x_te =
        mat_vec(MatView::of(in.s.K), VecView::of(scores_tr), par_sequential);
    const Eigen::VectorXd y_te = mat_vec(MatView::of(ys_te), VecView::of(yw.v), par_sequential);
    return pls3_fisher_z(pearson_r_guarded(VecView::of(x_te), VecView::of(y_te)));
}

// Peak bytes of one cell on m training and nt test rows: its row lists; the
// training and test rows of Y gathered and standardised, or G Ys beside
// them; M with the eigensolver's copy and vectors and the result's; one
// product's packing at a time; the score vectors.
std::uint64_t nspace_cell_bytes(std::uint64_t m, std::uint64_t nt, std::uint64_t q) {
    std::uint64_t bytes = sat_add(block_bytes(sat_add(m, nt), 1), block_bytes(q, 3));
    bytes = sat_add(bytes, sat_add(block_bytes(m, sat_mul(2, q)), block_bytes(nt, sat_mul(2, q))));
    bytes = sat_add(bytes, sat_add(block_bytes(q, sat_mul(4, q)), product_packing_bytes));
    return sat_add(bytes, sat_add(block_bytes(m, 1), block_bytes(nt, 2)));
}

std::vector<std::optional<double>> nspace_split_cells(MatView x, MatView y, const SplitIdx& split,
                                                      RowPerms perms,
                                                      const Pls3SplitSparse& sparse) {
    const std::size_t C = perms.size() + 1, m = split.train.size();
    const TwoBlockGram s = split_gram(x, split);
    if (!s.G.allFinite() || !s.K.allFinite()) return std::vector<std::optional<double>>(C);
    const double dims = static_cast<double>(x.cols + 2 * m + y.cols);
    const CellInputs in{s, x, y, split, perms, sparse, s.fro * s.fro * eps * dims};
    // Every cell in flight holds its own response blocks: a budget that
    // holds fewer cells than there are threads runs fewer at once.
    const std::uint64_t bytes = nspace_cell_bytes(m, split.test.size(), y.cols);
    return detail::map_items(C, bytes, [&](std::size_t c) { return nspace_cell(in, c); });
}

}  // namespace

double restricted_sweeps(const Eigen::MatrixXd& m, const Eigen::VectorXd& v) {
    std::vector<Eigen::Index> support;
    for (Eigen::Index i = 0; i < v.size(); ++i)
        if (v[i] != 0.0) support.push_back(i);
    const auto s = to_index(support.size());
    if (s < 2) return 0.0;
    Eigen::MatrixXd ms(s, s);
    for (Eigen::Index j = 0; j < s; ++j)
        for (Eigen::Index i = 0; i < s; ++i) ms(i, j) = m(support[i], support[j]);
    const auto values = self_adjoint_eigenvalues(MatView::of(ms), par_sequential);
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (!values) return inf;
    const double l1 = (*values)[s - 1], l2 = (*values)[s - 2];
    if (!(l1 > 0.0)) return inf;
    return l1 / (l1 - l2);
}

std::uint64_t nspace_split_unit_bytes(std::span<const SplitIdx> splits, std::uint64_t p,
                                      std::uint64_t q, std::uint64_t columns) {
    if (splits.empty()) return 0;
    const std::uint64_t m = splits[0].train.size(), nt = splits[0].test.size();
    const std::uint64_t w = std::min<std::uint64_t>(split_block_width(m, nt), p);
    // While G and K are built: a block of each half with its moments, and the
    // product that adds to one of them, its parts packed at once.
    const std::uint64_t built =
        sat_add(sat_add(split_blocks_bytes(m, nt, w), block_bytes(w, 3)),
                std::max(mat_mul_bytes(m, w, m), mat_mul_bytes(nt, w, m)));
    // Then the cells that run at once, and the row of cells.
    const std::uint64_t cells =
        sat_add(detail::at_once_bytes(columns, nspace_cell_bytes(m, nt, q)),
                sat_mul(columns, sizeof(std::optional<double>)));
    return sat_add(split_blocks_bytes(m, nt, m), std::max(built, cells));
}

std::vector<double> pls3_split_zbars_columns(MatView x, MatView y,
                                             std::span<const SplitIdx> splits, RowPerms perms,
                                             const Pls3SplitSparse& sparse) {
    const std::size_t J = splits.size(), C = perms.size() + 1;
    const std::uint64_t bytes = nspace_split_unit_bytes(splits, x.cols, y.cols, C);
    PendingTable<double> table = map_units(J, bytes, [&](std::size_t j) {
        return nspace_split_cells(x, y, splits[j], perms, sparse);
    });
    const auto rows = fill_pending(
        std::move(table), primal_split_unit_bytes(splits, x.cols, y.cols, C),
        [&](std::size_t j, std::span<const std::size_t> columns) {
            return pls3_split_columns_z_primal(x, y, splits[j], columns, perms, sparse);
        });
    return zbars_from_rows(C, rows);
}

}  // namespace veltra::resample
