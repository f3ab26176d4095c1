#include "veltra/fit.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "veltra/component_loop.hpp"
#include "veltra/finite.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/linalg.hpp"
#include "veltra/settings.hpp"
#include "veltra/standardize.hpp"
#include "veltra/text.hpp"
#include "veltra/weights.hpp"

namespace veltra {
namespace {

// out_i = a_i * b_i.
Eigen::VectorXd scale_col(VecView a, VecView b) {
    internal_check(b.len >= a.len, "scale_col: fewer factors than entries");
    Eigen::VectorXd out(to_index(a.len));
    for (std::size_t i = 0; i < a.len; ++i) out[to_index(i)] = a[i] * b[i];
    return out;
}

// out_ij = m_i * X_ij, column-major.
Eigen::MatrixXd scale_rows(MatView x, VecView m) {
    internal_check(m.len >= x.rows, "scale_rows: fewer multipliers than rows");
    Eigen::MatrixXd out(to_index(x.rows), to_index(x.cols));
    for (std::size_t j = 0; j < x.cols; ++j)
        for (std::size_t i = 0; i < x.rows; ++i) out(to_index(i), to_index(j)) = m[i] * x(i, j);
    return out;
}

std::string truncation_message(std::size_t k_used, std::size_t k) {
    return "pls1_fit(pre_standardized=true) truncated to k_used=" + format_count(k_used) +
           " < requested k=" + format_count(k) + ": NIPALS short-circuited on the " +
           format_count(k_used + 1) +
           " component (norm < 1e-14, or at the rounding floor relative to \u2016X\u2016_F\u00b7"
           "\u2016y\u2016). Either X or y is exhausted (fewer than k informative directions: "
           "lower k; at k_used=0, y is orthogonal to X up to rounding), or the inputs violate "
           "the pre_standardized scale contract (see `FitOpts::pre_standardized`): re-fit with "
           "`pre_standardized=false` to let veltra standardize, or rescale your inputs so that "
           "\u2016X\u2016_F \u2265 1e-6.";
}

// A loop whose model is not finite: non-finite X is the caller's input
// fault; from finite inputs it is an overflow of the arithmetic, which must
// never pass for a model (an infinite loading can still leave finite, wrong
// coefficients).
Result<void> check_model(const PreparedFit& fit, MatView x) {
    const auto finite = [](const auto& m) {
        return all_finite(MatView{m.data(), static_cast<std::size_t>(m.rows()),
                                  static_cast<std::size_t>(m.cols()), 1,
                                  static_cast<std::ptrdiff_t>(m.rows())});
    };
    if (finite(fit.W) && finite(fit.P) && finite(fit.Q) && finite(fit.T) && finite(fit.coef))
        return {};
    VELTRA_CHECK(check_finite_mat(x));
    return overflow_from_finite_inputs();
}

// The loop's output with the moments its inputs were standardised by.
struct FitWithMoments {
    PreparedFit fit;
    Eigen::VectorXd x_mean;  // empty on the pre-standardised path
    Eigen::VectorXd x_scale;
    double y_mean = 0.0;
    double y_scale = 1.0;
};

Result<FitWithMoments> fit_pre_standardized(MatView x, VecView y, std::size_t k,
                                            std::optional<std::size_t> keep,
                                            const std::optional<Eigen::VectorXd>& mult, Par par) {
    // Weighted rows are materialised: the Frobenius sum must see them.
    Eigen::MatrixXd scaled;
    MatView xs = x;
    Eigen::VectorXd ys = y.eigen();
    if (mult) {
        scaled = scale_rows(x, VecView::of(*mult));
        xs = MatView::of(scaled);
        ys = scale_col(y, VecView::of(*mult));
    }
    const double ss = sum_of_squares_line_chunks(xs, par);
    double fro = std::sqrt(ss);
    if (!std::isfinite(ss)) {
        VELTRA_CHECK(check_finite_mat(x));
        fro = stable_norm(xs);
    }
    FitWithMoments out;
    out.fit = pls1_fit_prepared_fro(xs, VecView::of(ys), k, keep, fro, par);
    VELTRA_CHECK(check_model(out.fit, x));
    return out;
}

Result<FitWithMoments> fit_standardizing(MatView x, VecView y, std::size_t k,
                                         std::optional<std::size_t> keep,
                                         const std::optional<Eigen::VectorXd>& weights,
                                         const std::optional<Eigen::VectorXd>& mult, Par par) {
    // The standardising steps rescale the fit's normalised weights to mean
    // one once more; that is done here once and handed to both.
    Eigen::VectorXd rescaled;
    std::optional<VecView> wv;
    if (weights) {
        rescaled = renormalize_mean_one(VecView::of(*weights));
        wv = VecView::of(rescaled);
    }
    const Standardized1 ystd = standardize1_mean_one(y, wv);
    const Eigen::VectorXd ys =
        mult ? scale_col(VecView::of(ystd.y_std), VecView::of(*mult)) : ystd.y_std;
    // The implicit backend's start vector needs X'z with z from y alone: it
    // is formed by the pass that takes the moments.
    const Eigen::VectorXd z =
        ImplicitXBackend::cross_factors(VecView::of(ys), mult ? mult->data() : nullptr);
    Eigen::VectorXd xt_z;
    FitX fx = fit_x_moments_with_cross(x, wv, z.data(), xt_z, par);
    if (!fx.mean.allFinite() || !fx.scale.allFinite()) {
        VELTRA_CHECK(check_finite_mat(x));
    }
    fx.row_multipliers = mult;

    FitWithMoments out;
    const double ratio = mean_scale_ratio(fx);
    // Centring on the fly loses digits in proportion to the ratio; beyond
    // the limit the standardised X is formed once instead.
    std::optional<PreparedFit> fit;
    if (x.rows == 0 || x.cols == 0 || !(ratio > implicit_max_mean_ratio))
        fit = pls1_fit_implicit(x, fx, VecView::of(ys), k, keep, par, &xt_z);
    // Without a fit here, the ratio was too large or a product with the raw
    // columns overflowed near the limit of double: the standardised X, whose
    // values are ordinary, is formed instead.
    if (!fit) {
        const Eigen::MatrixXd xs = fx.materialize(x);
        fit = pls1_fit_prepared_fro(MatView::of(xs), VecView::of(ys), k, keep, fx.fro, par);
    }
    out.fit = std::move(*fit);
    VELTRA_CHECK(check_model(out.fit, x));
    out.x_mean = std::move(fx.mean);
    out.x_scale = std::move(fx.scale);
    out.y_mean = ystd.mean;
    out.y_scale = ystd.scale;
    return out;
}

}  // namespace

Result<void> validate_keep(std::size_t keep, std::size_t p) {
    if (keep == 0)
        return fail(VeltraError::InvalidArgument{
            "keep must be >= 1 (keep=0 would produce an empty component)"});
    if (keep > p)
        return fail(VeltraError::InvalidArgument{"keep=" + format_count(keep) +
                                                 " exceeds n_features=" + format_count(p)});
    return {};
}

Result<void> check_fit_y_and_k(std::size_t p, VecView y, std::size_t k,
                               std::optional<std::size_t> keep) {
    for (std::size_t i = 0; i < y.len; ++i)
        if (!std::isfinite(y[i])) return fail(VeltraError::NonFiniteInput{});
    if (k == 0) return fail(VeltraError::InvalidArgument{"k must be >= 1"});
    if (k > p) return fail(VeltraError::KExceedsMax{k, p});
    if (keep) return validate_keep(*keep, p);
    return {};
}

std::uint64_t pls1_fit_bytes(std::uint64_t n, std::uint64_t p) {
    const std::uint64_t n_r = n % 8 == 0 ? n : sat_add(n, 8 - n % 8);
    return sat_add(sat_mul(sat_mul(40, n_r), p), sat_mul(32, n_r));
}

Eigen::VectorXd pls1_coef_at_k(MatView w, MatView p, VecView q, std::size_t k, Par par) {
    internal_check(k <= w.cols && k <= p.cols && k <= q.len,
                   "pls1_coef_at_k: more components asked for than held");
    internal_check(w.rows == p.rows, "pls1_coef_at_k: W and P differ in rows");
    if (k == 0) return Eigen::VectorXd::Zero(to_index(w.rows));
    const MatView wk{w.data, w.rows, k, w.row_stride, w.col_stride};
    const MatView pk{p.data, p.rows, k, p.row_stride, p.col_stride};
    const Eigen::MatrixXd ptw = mat_mul(pk.transposed(), wk, par);
    Eigen::MatrixXd b(to_index(k), 1);
    for (std::size_t a = 0; a < k; ++a) b(to_index(a), 0) = q[a];
    lu_solve_in_place(MatView::of(ptw), b);
    return mat_vec(wk, VecView{b.data(), k, 1}, par);
}

Result<Pls1Model> pls1_fit_impl(MatView x, VecView y, std::size_t k,
                                std::optional<VecView> weights, const FitOpts& opts) {
    const std::size_t n = x.rows, p = x.cols;
    if (y.len != n) return fail(VeltraError::DimensionMismatch{y.len, n, p});
    VELTRA_CHECK(check_fit_y_and_k(p, y, k, opts.keep));
    VELTRA_TRY(norm, opts.strict ? validate_weights_for_k(weights, n, k)
                                 : validate_and_normalize_weights(weights, n));
    // Without rows there is nothing to centre on: the model would be NaN.
    if (n == 0)
        return fail(VeltraError::InvalidArgument{"insufficient n for k=" + format_count(k) +
                                                 ": need n >= k + 1 (got n=0)"});
    std::optional<Eigen::VectorXd> mult;
    if (norm->weights) mult = sqrt_col(VecView::of(*norm->weights));
    const bool small =
        sat_mul(sat_mul(n, p), k) <= small_work_max || sat_mul(n, p) < min_parallel_entries;
    const Par par = small ? par_sequential : opts.par;

    VELTRA_TRY(prepared,
               opts.pre_standardized
                   ? fit_pre_standardized(x, y, k, opts.keep, mult, par)
                   : fit_standardizing(x, y, k, opts.keep, norm->weights, mult, par));
    PreparedFit& fit = prepared->fit;
    if (opts.strict && opts.pre_standardized && fit.k_used < k)
        return fail(VeltraError::InvalidInput{truncation_message(fit.k_used, k)});

    Pls1Model model;
    model.beta = fit.coef;
    if (!opts.pre_standardized) {
        double shift = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            model.beta[to_index(j)] =
                fit.coef[to_index(j)] * prepared->y_scale / prepared->x_scale[to_index(j)];
            shift += prepared->x_mean[to_index(j)] * model.beta[to_index(j)];
        }
        model.intercept = prepared->y_mean - shift;
        if (!model.beta.allFinite() || !std::isfinite(model.intercept))
            return overflow_from_finite_inputs();
    }
    model.T = std::move(fit.T);
    model.P = std::move(fit.P);
    model.W = std::move(fit.W);
    model.Q = std::move(fit.Q);
    model.coef = std::move(fit.coef);
    model.k_used = fit.k_used;
    model.pre_standardized = opts.pre_standardized;
    model.weights = std::move(norm->weights);
    model.n_eff = norm->n_eff;
    model.keep = opts.keep;
    return model;
}

Result<Pls1Model> pls1_fit(MatView x, VecView y, std::size_t k, std::optional<VecView> weights,
                           const FitOpts& opts) {
    return run_entry([&] { return pls1_fit_impl(x, y, k, weights, opts); });
}

Result<Pls1Model> spls1_fit(MatView x, VecView y, std::size_t k, std::size_t keep,
                            std::optional<VecView> weights, FitOpts opts) {
    opts.keep = keep;
    return run_entry([&] { return pls1_fit_impl(x, y, k, weights, opts); });
}

}  // namespace veltra
