#include "veltra/resample/dual_route.hpp"

#include <algorithm>
#include <cmath>

#include "perm_support.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/fit.hpp"
#include "veltra/correlation.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/ordered_product.hpp"
#include "veltra/standardize.hpp"
#include "veltra/text.hpp"

namespace veltra::resample {

namespace {

using Kind = NspaceOutcome::Kind;

// The correlation of the n-space split route: 0 for a test response without
// spread, pending for a prediction without spread (or with spread below a
// thousandth of its size).
std::optional<double> split_r(VecView x, VecView y) {
    const PrescaledSums sx = prescaled_sums(x), sy = prescaled_sums(y);
    const double t = 2.0 * static_cast<double>(x.len) * eps;
    const double tau = t * t;
    if (sy.centred <= tau * sy.raw) return 0.0;
    if (sx.centred <= tau * sx.raw) return std::nullopt;
    if (!(std::sqrt(sx.centred) >= 0.001 * std::sqrt(sx.raw))) return std::nullopt;
    double sxy = 0.0;
    for (std::size_t i = 0; i < x.len; ++i)
        sxy += (sx.scale * x[i] - sx.mean) * (sy.scale * y[i] - sy.mean);
    const double r = sxy / std::sqrt(sx.centred * sy.centred);
    return std::isnan(r) ? r : std::clamp(r, -1.0, 1.0);
}

}  // namespace

std::uint64_t nspace_train_test_bytes(std::uint64_t m, std::uint64_t nt, std::uint64_t p) {
    const std::uint64_t cross = sat_add(block_bytes(m, m), ordered_product_bytes(nt, p, m));
    // The Gram matrix's norm bound iterates on two m-vectors.
    return sat_add(std::max(ordered_product_bytes(m, p, m), cross), block_bytes(m, 2));
}

NspaceTrainTest::NspaceTrainTest(MatView train, MatView test, Par par)
    : gram(train, par), cross(cross_of(test, train, par)) {}

NspaceSplit::NspaceSplit(const PreparedSplit& s, Par par)
    : NspaceTrainTest(MatView::of(s.train), MatView::of(s.test), par) {}

NspaceFold::NspaceFold(const CvFold& fold, Par par)
    : NspaceTrainTest(MatView::of(fold.z_train), MatView::of(fold.z_test), par) {}

std::vector<std::optional<double>> split_columns_r_nspace(const SplitIdx& split,
                                                          const NspaceSplit& s, MatView values,
                                                          std::size_t k) {
    const std::size_t C = values.cols, m_tr = split.train.size(), m_te = split.test.size();
    std::vector<std::optional<double>> out(C);
    if (C == 0) return out;
    Eigen::MatrixXd y_tr(to_index(m_tr), to_index(C));
    for (std::size_t c = 0; c < C; ++c) {
        const Eigen::VectorXd raw = col_row_subset(values.column(c), split.train);
        y_tr.col(to_index(c)) = standardize1_weighted(VecView::of(raw)).y_std;
    }
    const auto outcomes = nspace_kernel_cols(s.gram.view(), MatView::of(y_tr), k);
    Eigen::MatrixXd alpha = Eigen::MatrixXd::Zero(to_index(m_tr), to_index(C));
    for (std::size_t c = 0; c < C; ++c)
        if (outcomes[c].is(Kind::Coefficients)) alpha.col(to_index(c)) = outcomes[c].alpha;
    const Eigen::MatrixXd pred =
        ordered_product(MatView::of(s.cross), MatView::of(alpha), par_sequential);
    for (std::size_t c = 0; c < C; ++c) {
        if (outcomes[c].is(Kind::Zero)) {
            out[c] = 0.0;
        } else if (outcomes[c].is(Kind::Coefficients)) {
            const Eigen::VectorXd y_te = col_row_subset(values.column(c), split.test);
            out[c] = split_r({pred.col(to_index(c)).data(), m_te, 1}, VecView::of(y_te));
        }
    }
    return out;
}

Result<CvContribution> fold_column_nspace(const CvFold& fold, const NspaceFold& f, VecView column,
                                          std::size_t k) {
    if (fold.massless() || fold.w_train.w)
        return cv_fold_contribution(fold, column, k, std::nullopt);
    const CvTargets y = cv_fold_targets(fold, column);
    const Eigen::MatrixXd y_tr = y.train;
    const auto outcomes = nspace_kernel_cols(f.gram.view(), MatView::of(y_tr), k);
    if (outcomes.empty() || outcomes[0].is(Kind::Unresolved))
        return cv_fold_contribution(fold, column, k, std::nullopt);
    const Eigen::VectorXd pred =
        outcomes[0].is(Kind::Coefficients)
            ? seq_gemv(MatView::of(f.cross), VecView::of(outcomes[0].alpha))
            : Eigen::VectorXd::Zero(to_index(fold.test.size()));
    return fold_sums(VecView::of(pred), VecView::of(y.test));
}

bool nspace_perm_row(const NspaceGram& g, MatView z, VecView y, std::span<const std::uint64_t> perm,
                     std::size_t k, std::span<double> row) {
    const Eigen::MatrixXd y_perm = col_row_subset(y, perm);
    const auto outcomes = nspace_kernel_cols(g.view(), MatView::of(y_perm), k);
    if (outcomes.empty() || outcomes[0].is(Kind::Unresolved)) return false;
    internal_check(row.size() == z.cols, "nspace_perm_row: the row does not have p entries");
    if (outcomes[0].is(Kind::Zero)) {
        std::fill(row.begin(), row.end(), 0.0);
        return true;
    }
    const Eigen::VectorXd& alpha = outcomes[0].alpha;
    internal_check(static_cast<std::size_t>(alpha.size()) == z.rows,
                   "nspace_perm_row: alpha does not have n entries");
    const Eigen::VectorXd beta = mat_vec(z.transposed(), VecView::of(alpha), par_sequential);
    std::copy(beta.data(), beta.data() + beta.size(), row.begin());
    return true;
}

std::vector<CvCell> Pls1CvR2Columns::fold_pass(std::size_t f) const {
    const SplitIdx rows = fold_rows(folds_, f);
    const RowSplit unweighted = row_split(rows, std::nullopt);
    const std::size_t m_tr = rows.train.size(), m_te = rows.test.size(), p = x_.cols, C = y_.cols;
    std::vector<CvCell> out(C);

    Eigen::MatrixXd G = Eigen::MatrixXd::Zero(to_index(m_tr), to_index(m_tr));
    Eigen::MatrixXd K = Eigen::MatrixXd::Zero(to_index(m_te), to_index(m_tr));
    const std::size_t width = block_width(m_tr, m_te);
    std::vector<double> block_norms;
    bool finite = true;
    for (std::size_t lo = 0; lo < p; lo += width) {
        const SplitBlocks b =
            split_blocks(x_.columns(lo, std::min(width, p - lo)), unweighted);
        block_norms.push_back(b.fro);
        finite = finite && b.all_finite();
        G += gram_of(MatView::of(b.train), par_parallel);
        K += cross_of(MatView::of(b.test), MatView::of(b.train), par_parallel);
    }
    if (!finite) {
        for (auto& cell : out) cell.emplace(fail(VeltraError::NonFiniteInput{}));
        return out;
    }
    const double fro = stable_norm(VecView{block_norms.data(), block_norms.size(), 1});
    const double pd = static_cast<double>(p), md = static_cast<double>(m_tr);
    const double E1 = fro * fro * eps * (2.0 * md + pd);
    const double E2 = fro * fro * (fro * fro) * eps * (3.0 * md + 2.0 * pd);
    const double tol = fro * static_cast<double>(std::max(p, m_tr)) * eps;

    // The standardised training columns, then G y, G G y and K y of all
    // columns as three matrix products: each entry is one running sum over
    // its own column, so a column's values never depend on the others.
    Eigen::MatrixXd ys(to_index(m_tr), to_index(C));
    std::vector<Standardized1> moments(C);
    for_each_index(par_parallel, C, [&](std::size_t j) {
        const Eigen::VectorXd raw = col_row_subset(y_.column(j), rows.train);
        moments[j] = standardize1_weighted(VecView::of(raw));
        ys.col(to_index(j)) = moments[j].y_std;
        moments[j].y_std = Eigen::VectorXd();  // only the moments are read from here on
    });
    const Eigen::MatrixXd g1 = ordered_product(MatView::of(G), MatView::of(ys), par_parallel);
    const Eigen::MatrixXd g2 = ordered_product(MatView::of(G), MatView::of(g1), par_parallel);
    const Eigen::MatrixXd ky = ordered_product(MatView::of(K), MatView::of(ys), par_parallel);

    for_each_index(par_parallel, C, [&](std::size_t j) {
        const Eigen::Index ji = to_index(j);
        if (!ys.col(ji).allFinite()) {
            out[j].emplace(fail(VeltraError::NonFiniteInput{}));
            return;
        }
        const double ny = stable_norm(VecView{ys.col(ji).data(), m_tr, 1});
        const double d1 = dot(ys.col(ji).data(), g1.col(ji).data(), m_tr);
        const double d2 = dot(ys.col(ji).data(), g2.col(ji).data(), m_tr);
        const double s = std::sqrt(std::max(d1, 0.0));
        const double ny2 = ny * ny;
        const bool pass =
            d1 >= 4.0 * ny2 * E1 && d2 >= 4.0 * ny2 * E2 && s >= 1e-12 && s >= 4.0 * ny * tol;
        Eigen::VectorXd pred = Eigen::VectorXd::Zero(to_index(m_te));
        if (ny != 0.0) {
            if (!pass || !(d1 > 0.0 && d2 / d1 >= 1e-12)) return;  // pending
            pred = (d1 / d2) * ky.col(ji);
        }
        Eigen::VectorXd y_te = col_row_subset(y_.column(j), rows.test);
        for (Eigen::Index i = 0; i < y_te.size(); ++i)
            y_te[i] = (y_te[i] - moments[j].mean) / moments[j].scale;
        out[j].emplace(fold_sums(VecView::of(pred), VecView::of(y_te)));
    });
    return out;
}

std::size_t Pls1CvR2Columns::block_width(std::size_t r, std::size_t t) {
    return std::max<std::size_t>(8, 2097152 / (8 * std::max({r, t, std::size_t{1}})) / 8 * 8);
}

std::vector<Result<CvContribution>> Pls1CvR2Columns::refill(std::size_t f,
                                                            std::span<const std::size_t> pending,
                                                            std::uint64_t fit_bytes) const {
    // The fold pass saw the fold's blocks finite before it left a column
    // pending.
    const auto fold = prepare_cv_fold(x_, folds_, f, std::nullopt);
    internal_check(fold.has_value(), "a fold with pending columns has finite blocks");
    const auto column = [&](std::size_t q) -> Result<CvContribution> {
        const VecView y = y_.column(pending[q]);
        if (auto c = cv_fold_contribution(*fold, y, 1, std::nullopt)) return c;
        // A column that cannot be fitted contributes a NaN SS_res.
        const Eigen::VectorXd pred =
            Eigen::VectorXd::Constant(to_index(fold->test.size()), std::nan(""));
        return fold_sums(VecView::of(pred), VecView::of(cv_fold_targets(*fold, y).test));
    };
    const std::size_t q = pending.size();
    return detail::map_items(q, fit_bytes, column);
}

}  // namespace veltra::resample
