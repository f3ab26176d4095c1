// The sparse two-block fit: each component by alternating updates on the
// deflated cross covariance, keeping only the largest entries of u and v.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "pls3_internal.hpp"
#include "veltra/linalg.hpp"
#include "veltra/ordered_product.hpp"
#include "veltra/pls3.hpp"
#include "veltra/selection.hpp"
#include "veltra/settings.hpp"
#include "veltra/text.hpp"

namespace veltra {

namespace {

constexpr double value_floor = 1e-14;
constexpr double norm_floor = 1e-14;


// Index of the largest |x_i|, the first of equal maxima.
Eigen::Index first_largest_magnitude(const Eigen::VectorXd& x) {
    Eigen::Index best = 0;
    double best_abs = x.size() > 0 ? std::abs(x[0]) : 0.0;
    for (Eigen::Index i = 1; i < x.size(); ++i) {
        const double m = std::abs(x[i]);
        if (m > best_abs) {
            best = i;
            best_abs = m;
        }
    }
    return best;
}

// C <- C - d u v', each entry formed once, so the cut into parts cannot
// change the bits.
void deflate(Eigen::MatrixXd& C, double d, const Eigen::VectorXd& u, const Eigen::VectorXd& v,
             Par par) {
    const std::size_t q = static_cast<std::size_t>(C.cols());
    for_each_part(par, q, [&](std::size_t, IndexSpan s) {
        for (std::size_t j = s.begin; j < s.end; ++j) {
            const double coef = -d * v[to_index(j)];
            C.col(to_index(j)) += coef * u;
        }
    });
}

Result<void> keep_failure(std::string_view name, std::uint64_t keep, std::string_view total_name,
                          std::uint64_t total) {
    if (keep == 0) {
        return fail(VeltraError::InvalidArgument{std::string(name) + " must be >= 1 (" +
                                                 std::string(name) +
                                                 "=0 would produce an empty component)"});
    }
    if (keep > total) {
        return fail(VeltraError::InvalidArgument{std::string(name) + "=" + format_count(keep) +
                                                 " exceeds " + std::string(total_name) + "=" +
                                                 format_count(total)});
    }
    return {};
}

}  // namespace

Result<void> validate_sparse(std::optional<std::uint64_t> keep_x,
                             std::optional<std::uint64_t> keep_y, std::uint64_t n_features,
                             std::uint64_t n_targets, std::uint64_t max_iter, double tol) {
    if (keep_x) {
        VELTRA_CHECK(keep_failure("keep_x", *keep_x, "n_features", n_features));
    }
    if (keep_y) {
        VELTRA_CHECK(keep_failure("keep_y", *keep_y, "n_targets", n_targets));
    }
    const bool selects = (keep_x && *keep_x < n_features) || (keep_y && *keep_y < n_targets);
    if (!selects) return {};
    if (max_iter == 0) {
        return fail(VeltraError::InvalidArgument{
            "max_iter must be >= 1 when keep_x or keep_y selects fewer than all columns "
            "(max_iter=0 would skip selection entirely)"});
    }
    if (!(std::isfinite(tol) && tol >= 0.0)) {
        return fail(VeltraError::InvalidArgument{
            "tol must be finite and >= 0 when keep_x or keep_y selects fewer than all columns "
            "(got tol=" +
            format_real(tol) + ")"});
    }
    return {};
}

Result<std::optional<SparseComponent>> spls3_component(const Eigen::MatrixXd& C,
                                                       std::uint64_t keep_x, std::uint64_t keep_y,
                                                       std::uint64_t max_iter, Par par,
                                                       double tol) {
    const auto svd = thin_svd(MatView::of(C), par);
    if (!svd || svd->V.cols() == 0)
        return fail(VeltraError::Internal{"SVD of the deflated X'Y failed in spls3_fit"});
    const std::optional<SparseComponent> none;
    SparseComponent c;
    c.v = svd->V.col(0);
    if (c.v[first_largest_magnitude(c.v)] < 0.0) c.v = -c.v;
    c.u = Eigen::VectorXd::Zero(C.rows());
    const MatView cm = MatView::of(C);
    const MatView ct = cm.transposed();
    for (std::uint64_t t = 1; t <= max_iter; ++t) {
        const Eigen::VectorXd v_prev = c.v;
        c.u = mat_vec(cm, VecView::of(c.v), par);
        if (!select_and_normalize(c.u, keep_x, norm_floor)) return none;
        c.v = mat_vec(ct, VecView::of(c.u), par);
        if (!select_and_normalize(c.v, keep_y, norm_floor)) return none;
        double diff = 0.0;
        for (Eigen::Index i = 0; i < c.v.size(); ++i) {
            const double e = std::abs(c.v[i] - v_prev[i]);
            if (e > diff) diff = e;
        }
        if (diff < tol) {
            c.converged = true;
            c.iterations = t;
            break;
        }
        if (t == max_iter) {
            // Leave before ++t can wrap when max_iter is the largest count.
            c.iterations = max_iter;
            break;
        }
    }
    const Eigen::VectorXd cv = mat_vec(cm, VecView::of(c.v), par);
    double d = -0.0;
    for (Eigen::Index i = 0; i < cv.size(); ++i) d += c.u[i] * cv[i];
    c.d = d;
    return std::optional<SparseComponent>{std::move(c)};
}

Result<SparseLoopOutput> sparse_component_loop(Eigen::MatrixXd C, std::uint64_t k,
                                               std::uint64_t keep_x, std::uint64_t keep_y,
                                               std::uint64_t max_iter, double tol, Par par,
                                               const ThresholdProvider& threshold) {
    SparseLoopOutput out;
    double tol_d = 0.0;
    for (std::uint64_t a = 0; a < k; ++a) {
        // Every product of the alternation is bounded by the norm of C: when
        // that norm overflows, finite data would silently turn into NaN
        // weights and a truncated fit.
        if (std::isinf(stable_norm(MatView::of(C))))
            return overflow_from_finite_inputs();
        VELTRA_TRY(c, spls3_component(C, keep_x, keep_y, max_iter, par, tol));
        if (!*c) break;
        // A NaN value fails the floors, as in the dense fit.
        if (!((*c)->d >= value_floor)) break;
        if (a == 0) tol_d = threshold();
        if (!((*c)->d >= tol_d)) break;
        deflate(C, (*c)->d, (*c)->u, (*c)->v, par);
        out.components.push_back(std::move(**c));
    }
    out.C = std::move(C);
    return out;
}

Result<SparseComponents> sparse_components(Eigen::MatrixXd C, std::uint64_t k,
                                           std::uint64_t keep_x, std::uint64_t keep_y,
                                           std::uint64_t max_iter, double tol, Par par,
                                           const ThresholdProvider& threshold) {
    const Eigen::Index p = C.rows(), q = C.cols();
    VELTRA_TRY(loop, sparse_component_loop(std::move(C), k, keep_x, keep_y, max_iter, tol, par,
                                           threshold));
    const auto& list = loop->components;
    const Eigen::Index m = to_index(list.size());
    SparseComponents out{{Eigen::MatrixXd::Zero(p, m), Eigen::MatrixXd::Zero(q, m),
                          Eigen::VectorXd(m)},
                         {},
                         {}};
    for (Eigen::Index a = 0; a < m; ++a) {
        const SparseComponent& c = list[static_cast<std::size_t>(a)];
        out.components.U.col(a) = c.u;
        out.components.V.col(a) = c.v;
        out.components.singular_values[a] = c.d;
        out.converged.push_back(c.converged);
        out.n_iter.push_back(c.iterations);
    }
    pin_component_signs(out.components.U, out.components.V);
    return out;
}

Result<Lv1Prestd> pls3_lv1_prestd(MatView X, MatView Y, double x_norm,
                                  std::optional<std::uint64_t> keep_x,
                                  std::optional<std::uint64_t> keep_y, std::uint64_t max_iter,
                                  double tol) {
    internal_check(X.rows == Y.rows, "pls3_lv1_prestd: X and Y differ in rows");
    const std::uint64_t n = X.rows, p = X.cols, q = Y.cols;
    // The fit's own cross-covariance kernel (about twice as fast as a
    // blocked product cut into parts here, with bits fixed by the shape).
    Eigen::MatrixXd C = ordered_product(X.transposed(), Y, par_sequential);
    const double dim = static_cast<double>(std::max({q, p, n}));
    const double tol_lv1 = x_norm * (dim * eps) * stable_norm(Y);
    const ThresholdProvider threshold = [tol_lv1] { return tol_lv1; };
    const std::uint64_t kx = keep_x.value_or(p), ky = keep_y.value_or(q);
    Lv1Prestd out;
    if (kx == p && ky == q) {
        VELTRA_TRY(comps, pls3_detail::first_dense_component(C, threshold));
        out.components = std::move(*comps);
        return out;
    }
    VELTRA_TRY(sparse, sparse_components(std::move(C), 1, kx, ky, max_iter, tol, par_sequential,
                                         threshold));
    out.components = std::move(sparse->components);
    if (!sparse->converged.empty()) {
        out.converged = sparse->converged[0];
        out.n_iter = sparse->n_iter[0];
    }
    return out;
}

Result<Pls3Model> spls3_fit_impl(MatView X, MatView Y, std::uint64_t k, std::uint64_t keep_X,
                                 std::uint64_t keep_Y, std::optional<VecView> weights,
                                 const Pls3FitOpts& opts) {
    const std::uint64_t p = X.cols, q = Y.cols;
    VELTRA_CHECK(validate_sparse(keep_X, keep_Y, p, q, opts.max_iter, opts.tol));
    if (keep_X == p && keep_Y == q) {
        VELTRA_TRY(model, pls3_fit_impl(X, Y, k, weights, opts));
        model->keep_X = keep_X;
        model->keep_Y = keep_Y;
        model->converged = std::vector<bool>(model->k_used, true);
        model->n_iter = std::vector<std::uint64_t>(model->k_used, 0);
        return model;
    }
    VELTRA_TRY(prep, prepare(X, Y, k, weights, opts));
    Prepared& pr = prep->prepared;
    const ThresholdProvider threshold = [&pr] { return pls3_detail::fit_threshold(pr); };
    const bool was_implicit = pr.implicit;
    VELTRA_TRY(comps, sparse_components(std::move(prep->C), k, keep_X, keep_Y, opts.max_iter,
                                        opts.tol, pr.par, threshold));
    if (static_cast<std::uint64_t>(comps->converged.size()) < k && was_implicit) {
        Eigen::MatrixXd C = pr.materialize();
        VELTRA_CHECK(pls3_detail::check_cross_cov(pr, C));
        VELTRA_TRY(exact, sparse_components(std::move(C), k, keep_X, keep_Y, opts.max_iter,
                                            opts.tol, pr.par, threshold));
        comps = std::move(exact);
    }
    SparseMeta meta{std::move(comps->converged), std::move(comps->n_iter), keep_X, keep_Y};
    Pls3Model model = std::move(pr).into_model(
        opts.pre_standardized_X, opts.pre_standardized_Y, std::move(comps->components.U),
        std::move(comps->components.V), std::move(comps->components.singular_values),
        std::move(meta));
    VELTRA_CHECK(pls3_detail::check_model(model));
    return model;
}

Result<Pls3Model> spls3_fit(MatView X, MatView Y, std::uint64_t k, std::uint64_t keep_X,
                            std::uint64_t keep_Y, std::optional<VecView> weights,
                            const Pls3FitOpts& opts) {
    return run_entry([&] { return spls3_fit_impl(X, Y, k, keep_X, keep_Y, weights, opts); });
}

}  // namespace veltra
