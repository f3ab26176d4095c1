// The dense two-block fit: every component from one thin SVD of the cross
// covariance, kept while its value clears the floors, with pinned signs.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "pls3_internal.hpp"
#include "veltra/linalg.hpp"
#include "veltra/pls3.hpp"
#include "veltra/settings.hpp"

namespace veltra {

namespace {

constexpr double value_floor = 1e-14;

}  // namespace

namespace pls3_detail {

double fit_threshold(const Prepared& pr) {
    internal_check(pr.x_fro || pr.x_std_norm, "fit_threshold: no norm of the standardised X");
    const double x_norm = pr.x_fro ? *pr.x_fro : *pr.x_std_norm;
    const double y_norm = stable_norm(pr.y_std_view());
    const double dim = static_cast<double>(std::max({pr.Y.cols, pr.X.cols, pr.X.rows}));
    double tol = dim * eps * x_norm * y_norm;
    if (pr.implicit) {
        // The mean corrections of the implicit products lose up to about
        // mean_ratio times the rounding of the raw products.
        const double widen = (pr.mean_ratio + 1.0) + (pr.mean_ratio + 1.0);
        tol = widen * (std::isnan(tol) ? value_floor : std::max(tol, value_floor));
    }
    return tol;
}

}  // namespace pls3_detail

void pin_component_signs(Eigen::MatrixXd& U, Eigen::MatrixXd& V) {
    internal_check(U.cols() == V.cols(), "pin_component_signs: U and V differ in columns");
    if (U.rows() == 0) return;
    for (Eigen::Index a = 0; a < U.cols(); ++a) {
        Eigen::Index best = 0;
        double best_abs = std::abs(U(0, a));
        for (Eigen::Index i = 1; i < U.rows(); ++i) {
            const double m = std::abs(U(i, a));
            if (m > best_abs) {
                best = i;
                best_abs = m;
            }
        }
        if (U(best, a) < 0.0) {
            U.col(a) = -U.col(a);
            V.col(a) = -V.col(a);
        }
    }
}

Result<Components> dense_components(const Eigen::MatrixXd& C, std::uint64_t k, Par par,
                                    const ThresholdProvider& threshold) {
    auto svd = thin_svd(MatView::of(C), par);
    if (!svd) return fail(VeltraError::Internal{"SVD of X'Y failed to converge in pls3_fit"});
    const Eigen::VectorXd& s = svd->s;
    const std::uint64_t r = static_cast<std::uint64_t>(s.size());
    Eigen::Index m = 0;
    if (r > 0 && s[0] >= value_floor) {
        const double tol = threshold();
        const std::uint64_t limit = std::min(k, r);
        while (static_cast<std::uint64_t>(m) < limit && s[m] >= value_floor && s[m] >= tol) ++m;
    }
    Components out{svd->U.leftCols(m), svd->V.leftCols(m), s.head(m)};
    pin_component_signs(out.U, out.V);
    return out;
}

Result<std::optional<Lv1FromCrossCov>> pls3_lv1_from_cross_cov(const Eigen::MatrixXd& C,
                                                               double tol) {
    VELTRA_TRY(comps, pls3_detail::first_dense_component(C, [tol] { return tol; }));
    if (comps->U.cols() == 0) return std::optional<Lv1FromCrossCov>{};
    return std::optional<Lv1FromCrossCov>{
        Lv1FromCrossCov{comps->V.col(0), comps->singular_values[0]}};
}

Result<Pls3Model> pls3_fit_impl(MatView X, MatView Y, std::uint64_t k,
                                std::optional<VecView> weights, const Pls3FitOpts& opts) {
    VELTRA_TRY(prep, prepare(X, Y, k, weights, opts));
    Prepared& pr = prep->prepared;
    const ThresholdProvider threshold = [&pr] { return pls3_detail::fit_threshold(pr); };

    VELTRA_TRY(comps, dense_components(prep->C, k, pr.par, threshold));
    if (static_cast<std::uint64_t>(comps->U.cols()) < k && pr.implicit) {
        // Short of components: the widened floor of the implicit route may
        // have cut a real one; decide again on the exact standardised X.
        const Eigen::MatrixXd C = pr.materialize();
        VELTRA_CHECK(pls3_detail::check_cross_cov(pr, C));
        VELTRA_TRY(exact, dense_components(C, k, pr.par, threshold));
        comps = std::move(exact);
    }
    prep->C.resize(0, 0);
    Pls3Model model = std::move(pr).into_model(opts.pre_standardized_X, opts.pre_standardized_Y,
                                               std::move(comps->U), std::move(comps->V),
                                               std::move(comps->singular_values));
    VELTRA_CHECK(pls3_detail::check_model(model));
    return model;
}

Result<Pls3Model> pls3_fit(MatView X, MatView Y, std::uint64_t k,
                           std::optional<VecView> weights, const Pls3FitOpts& opts) {
    return run_entry([&] { return pls3_fit_impl(X, Y, k, weights, opts); });
}

}  // namespace veltra
