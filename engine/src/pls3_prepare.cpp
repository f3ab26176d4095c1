// Preparation of the two-block fits: argument checks, standardisation of
// both blocks, the cross covariance, and the model built from components.

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "pls3_internal.hpp"
#include "veltra/finite.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/linalg.hpp"
#include "veltra/ordered_product.hpp"
#include "veltra/pls3.hpp"
#include "veltra/standardize.hpp"

namespace veltra {

namespace {

// X W by the order of ordered_product; a row-major X is read in place rather
// than copied into panels.
Eigen::MatrixXd scores_of(const MatView& x, const Eigen::MatrixXd& w, Par par) {
    if (x.is_row_major()) return OrderedXt(MatView::of(w), x.rows, par).left_product(x, par);
    return ordered_product(x, MatView::of(w), par);
}

}  // namespace

MatView Prepared::x_std_view() const {
    internal_check(!implicit, "Prepared: the standardised X is not formed in implicit mode");
    return X_std ? MatView::of(*X_std) : X;
}

MatView Prepared::y_std_view() const { return Y_std ? MatView::of(*Y_std) : Y; }

Eigen::MatrixXd Prepared::cross_cov() const {
    const MatView ys = y_std_view();
    if (!implicit) return ordered_product(x_std_view().transposed(), ys, par);
    return corrected_cross_cov(ordered_product(X.transposed(), ys, par));
}

Eigen::MatrixXd Prepared::corrected_cross_cov(Eigen::MatrixXd c) const {
    internal_check(implicit, "Prepared::corrected_cross_cov: not in implicit mode");
    // X'(Y_s) on the raw X, each entry corrected for its column's mean and
    // scale: (x_j - mean_j)'y / scale_j = (x_j'y - mean_j * sum(y)) / scale_j.
    const MatView ys = y_std_view();
    const std::size_t p = X.cols, q = ys.cols, n = ys.rows;
    for (std::size_t j = 0; j < q; ++j) {
        double s = -0.0;
        for (std::size_t r = 0; r < n; ++r) s += ys(r, j);
        for (std::size_t i = 0; i < p; ++i)
            c(to_index(i), to_index(j)) =
                (c(to_index(i), to_index(j)) - X_mean[to_index(i)] * s) / X_scale[to_index(i)];
    }
    return c;
}

Eigen::MatrixXd Prepared::x_scores(const Eigen::MatrixXd& W) const {
    internal_check(static_cast<std::size_t>(W.rows()) == X.cols,
                   "Prepared::x_scores: W has a row count other than p");
    if (!implicit) return scores_of(x_std_view(), W, par);
    const std::size_t p = X.cols, m = static_cast<std::size_t>(W.cols());
    Eigen::MatrixXd w_scaled(W.rows(), W.cols());
    for (std::size_t a = 0; a < m; ++a)
        for (std::size_t i = 0; i < p; ++i)
            w_scaled(to_index(i), to_index(a)) = W(to_index(i), to_index(a)) / X_scale[to_index(i)];
    Eigen::MatrixXd t = scores_of(X, w_scaled, par);
    for (std::size_t a = 0; a < m; ++a) {
        double c = 0.0;
        for (std::size_t i = 0; i < p; ++i)
            c += X_mean[to_index(i)] * w_scaled(to_index(i), to_index(a));
        t.col(to_index(a)).array() -= c;
    }
    return t;
}

Eigen::MatrixXd Prepared::materialize() {
    internal_check(x_fro.has_value(), "Prepared::materialize: X was given standardised");
    X_std.reset();
    // Its own moments are those of the moment pass; the pass's are kept.
    X_std = standardize_weighted(X).x_std;
    implicit = false;
    return cross_cov();
}

Pls3Model Prepared::into_model(bool pre_standardized_X, bool pre_standardized_Y,
                               Eigen::MatrixXd U, Eigen::MatrixXd V,
                               Eigen::VectorXd singular_values,
                               std::optional<SparseMeta> sparse) && {
    internal_check(U.cols() == V.cols() && U.cols() == singular_values.size(),
                   "Prepared::into_model: components of different counts");
    Pls3Model m;
    m.x_scores = x_scores(U);
    m.y_scores = mat_mul(y_std_view(), MatView::of(V), par);
    m.k_used = static_cast<std::uint64_t>(U.cols());
    m.U = std::move(U);
    m.V = std::move(V);
    m.singular_values = std::move(singular_values);
    m.X_mean = std::move(X_mean);
    m.X_scale = std::move(X_scale);
    m.Y_mean = std::move(Y_mean);
    m.Y_scale = std::move(Y_scale);
    m.pre_standardized_X = pre_standardized_X;
    m.pre_standardized_Y = pre_standardized_Y;
    if (sparse) {
        m.keep_X = sparse->keep_X;
        m.keep_Y = sparse->keep_Y;
        m.converged = std::move(sparse->converged);
        m.n_iter = std::move(sparse->n_iter);
    }
    X_std.reset();
    Y_std.reset();
    return m;
}

namespace pls3_detail {

Result<void> check_cross_cov(const Prepared& prepared, const Eigen::MatrixXd& C) {
    if (C.allFinite()) return {};
    VELTRA_CHECK(check_finite_mat(prepared.x_std_view()));
    VELTRA_CHECK(check_finite_mat(prepared.y_std_view()));
    return overflow_from_finite_inputs();
}

Result<void> check_model(const Pls3Model& m) {
    // U and V are unit vectors; only the values and scores can overflow.
    if (!m.x_scores.allFinite() || !m.y_scores.allFinite() || !m.singular_values.allFinite())
        return overflow_from_finite_inputs();
    return {};
}

}  // namespace pls3_detail

namespace {

// One read of all of X: the moment pass, or the sum of squares of a
// pre-standardised X. Finite data give finite moments and, short of
// overflow, a finite sum of squares, while a NaN or an infinity never does;
// so the pass stands in for the finiteness scan, which runs only when the
// pass finds something not finite.
//
// Given the standardised Y, the moment pass also forms X'Y_s on the raw X
// (as the implicit route's cross covariance multiplies it, to the bit), so
// that route reads X once before the scores.
struct XPass {
    std::optional<FitX> fx;
    double x_ss = 0.0;
    Eigen::MatrixXd raw_cross;  // X'Y_s, p x q, when formed
    bool with_cross = false;
};
Result<XPass> read_x(MatView X, bool pre_standardized, Par par,
                     std::optional<MatView> y_std = std::nullopt) {
    XPass pass;
    if (X.rows == 0 || X.cols == 0) return pass;
    bool finite;
    if (pre_standardized) {
        pass.x_ss = sum_of_squares_row_parts(X, par);
        finite = std::isfinite(pass.x_ss);
    } else if (y_std) {
        const OrderedXt xt(*y_std, X.cols, par);
        std::vector<double> g(X.cols * xt.ld());
        pass.fx = fit_x_moments_with_product(X, xt, g.data(), par);
        pass.raw_cross.resize(to_index(X.cols), to_index(y_std->cols));
        for (std::size_t c = 0; c < y_std->cols; ++c)
            for (std::size_t j = 0; j < X.cols; ++j)
                pass.raw_cross(to_index(j), to_index(c)) = g[j * xt.ld() + c];
        pass.with_cross = true;
        finite = pass.fx->mean.allFinite() && pass.fx->scale.allFinite();
    } else {
        pass.fx = fit_x_moments(X, std::nullopt, std::nullopt, par);
        finite = pass.fx->mean.allFinite() && pass.fx->scale.allFinite();
    }
    if (!finite) VELTRA_CHECK(check_finite_mat(X, par));
    return pass;
}

void prepare_x(Prepared& pr, XPass pass, bool pre_standardized, std::uint64_t k) {
    const MatView X = pr.X;
    const auto p = to_index(X.cols);
    if (pre_standardized) {
        // Read as given. The products read either storage order in place;
        // only a view without a unit stride is copied.
        if (X.row_stride != 1 && X.col_stride != 1) pr.X_std = col_major_or_copy(X);
        // The plain sum serves unless it overflowed or squares may have
        // underflowed; the overflow-safe norm decides those.
        pr.x_std_norm = std::isfinite(pass.x_ss) && pass.x_ss >= safe_low ? std::sqrt(pass.x_ss)
                                                                          : stable_norm(X);
        pr.X_mean = Eigen::VectorXd::Zero(p);
        pr.X_scale = Eigen::VectorXd::Ones(p);
        return;
    }
    internal_check(pass.fx.has_value(), "prepare: no moments of a non-empty X");
    FitX& fx = *pass.fx;
    pr.x_fro = fx.fro;
    const double ratio = mean_scale_ratio(fx);
    pr.mean_ratio = ratio;
    pr.X_mean = std::move(fx.mean);
    pr.X_scale = std::move(fx.scale);
    pr.implicit = ratio <= implicit_max_mean_ratio && X.rows > k;
    // Large means against the scales would cancel badly on the raw X. With
    // n <= k the centred X has rank below k, so the fit would come out short
    // and be redone on the exact matrix anyway.
    if (!pr.implicit) pr.X_std = standardize_weighted(X).x_std;
}

void prepare_y(Prepared& pr, bool pre_standardized) {
    const auto q = to_index(pr.Y.cols);
    if (pre_standardized) {
        pr.Y_std = col_major_or_copy(pr.Y);
        pr.Y_mean = Eigen::VectorXd::Zero(q);
        pr.Y_scale = Eigen::VectorXd::Ones(q);
        return;
    }
    Standardized ys = standardize_weighted(pr.Y);
    pr.Y_std = std::move(ys.x_std);
    pr.Y_mean = std::move(ys.mean);
    pr.Y_scale = std::move(ys.scale);
}

}  // namespace

Result<PreparedCrossCov> prepare(MatView X, MatView Y, std::uint64_t k,
                                 std::optional<VecView> weights, const Pls3FitOpts& opts) {
    const std::uint64_t n = X.rows, p = X.cols, q = Y.cols;
    if (Y.rows != X.rows) return fail(VeltraError::DimensionMismatch{Y.rows, n, p});
    if (weights) {
        return fail(VeltraError::InvalidArgument{
            "observation weights are not implemented for pls3_fit; pass weights=None. The "
            "weighted PLS3 path row-scales (X, Y) by \u221aw before forming X'Y and is not "
            "implemented yet across the PLS2/PLS3 family."});
    }
    // The setting of the products depends on the shape alone.
    const Par par = sat_mul(sat_mul(n, p), q) <= small_work_max ? par_sequential : opts.par;
    // Y is standardised before the read of X when only X can still fail, so
    // that the read forms X'Y_s as well; the failures keep their order.
    const Result<void> y_finite = check_finite_mat(Y);
    const std::uint64_t k_max = std::min(p, q);
    const bool along = !opts.pre_standardized_X && y_finite && k >= 1 && k <= k_max && n > 0;
    Prepared pr;
    pr.X = X;
    pr.Y = Y;
    pr.par = par;
    if (along) prepare_y(pr, opts.pre_standardized_Y);
    VELTRA_TRY(pass, read_x(X, opts.pre_standardized_X, par,
                            along ? std::optional<MatView>{pr.y_std_view()} : std::nullopt));
    VELTRA_CHECK(y_finite);
    if (k == 0) return fail(VeltraError::InvalidArgument{"k must be >= 1"});
    if (k > k_max) return fail(VeltraError::KExceedsMax{k, k_max});
    if (n == 0) return fail(VeltraError::InvalidArgument{"insufficient n: need n >= 1 (got n=0)"});

    const bool with_cross = pass->with_cross;
    Eigen::MatrixXd raw_cross = std::move(pass->raw_cross);
    prepare_x(pr, std::move(*pass), opts.pre_standardized_X, k);
    if (!along) prepare_y(pr, opts.pre_standardized_Y);

    Eigen::MatrixXd C = pr.implicit && with_cross ? pr.corrected_cross_cov(std::move(raw_cross))
                                                  : pr.cross_cov();
    // The corrections of the implicit route can overflow where the explicit
    // product does not.
    if (pr.implicit && !C.allFinite()) C = pr.materialize();
    VELTRA_CHECK(pls3_detail::check_cross_cov(pr, C));
    return PreparedCrossCov{std::move(pr), std::move(C)};
}

}  // namespace veltra
