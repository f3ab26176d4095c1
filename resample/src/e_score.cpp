#include "veltra/resample/e_score.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "veltra/elementary.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/resample/splits.hpp"
#include "veltra/special.hpp"
#include "veltra/standardize.hpp"

namespace veltra::resample {

namespace {

// Variances are floored so that the logarithms stay finite; NaN floors too.
double floored(double v) { return v >= 1e-30 ? v : 1e-30; }

}  // namespace

Result<PvalueStatistic> run_e(MatView x, VecView y, std::size_t k, std::optional<VecView> weights,
                              std::optional<std::size_t> keep, ChaCha8Rng& rng) {
    const std::size_t n = x.rows;
    if (n < sat_add(k, 5))
        return fail(VeltraError::InvalidArgument{"n=" + std::to_string(n) + " too small for k=" +
                                                 std::to_string(k) +
                                                 " under split methods (need n ≥ k+5)"});
    const std::size_t m = split_train_size(n, k), t = n - m;
    const SplitIdx split = one_split(n, m, rng);
    const PreparedSplit s = prepare_split(x, split, weights);
    if (!s.finite) return fail(VeltraError::NonFiniteInput{});
    // A half whose weights sum to zero has no effective rows to fit or test on.
    if (s.massless())
        return fail(VeltraError::InvalidWeights{"insufficient_effective_n"});
    Eigen::VectorXd y_train(to_index(m)), y_test(to_index(t));
    for (std::size_t i = 0; i < m; ++i) y_train[to_index(i)] = y[split.train[i]];
    for (std::size_t i = 0; i < t; ++i) y_test[to_index(i)] = y[split.test[i]];
    const Standardized1 st = standardize1_mean_one(VecView::of(y_train), s.w_train.moment_view());
    Eigen::VectorXd yt_train = st.y_std;
    Eigen::VectorXd yt_test = (y_test.array() - st.mean) / st.scale;
    if (s.w_train.root) yt_train.array() *= s.w_train.root->array();
    if (s.w_test.root) yt_test.array() *= s.w_test.root->array();

    FitOpts opts;
    opts.keep = keep;
    opts.pre_standardized = true;
    VELTRA_TRY(fit, pls1_fit_impl(MatView::of(s.train), VecView::of(yt_train), k, std::nullopt, opts));
    const Eigen::VectorXd fitted = mat_vec(MatView::of(s.train), VecView::of(fit->coef), par_sequential);
    const Eigen::VectorXd predicted = mat_vec(MatView::of(s.test), VecView::of(fit->coef), par_sequential);

    const double md = static_cast<double>(m), td = static_cast<double>(t);
    const Eigen::VectorXd train_res = yt_train - fitted, test_res = yt_test - predicted;
    const double s1 = floored(sum_of_squares_in_order(VecView::of(train_res)) / md);
    const double centre = yt_test.sum() / td;
    const Eigen::VectorXd test_dev = (yt_test.array() - centre).matrix();
    const double ss0 = sum_of_squares_in_order(VecView::of(test_dev));
    const double s0 = floored(ss0 / td);
    const double two_pi = 2.0 * std::numbers::pi;
    const double ll1 = -(td / 2.0) * elementary::log(two_pi * s1) -
                       sum_of_squares_in_order(VecView::of(test_res)) / (2.0 * s1);
    const double ll0 = -(td / 2.0) * elementary::log(two_pi * s0) - ss0 / (2.0 * s0);
    const double statistic = ll1 - ll0;
    return PvalueStatistic{std::min(1.0, 1.0 / std::max(elementary::exp(statistic), 1.0)), statistic};
}

Eigen::VectorXd eigenvalues_symmetric(const Eigen::MatrixXd& g) {
    auto values = self_adjoint_eigenvalues(MatView::of(g), par_sequential);
    if (!values) return Eigen::VectorXd::Zero(g.rows());
    return std::move(*values);
}

Result<PvalueStatistic> run_score(MatView x, VecView y, std::optional<VecView> weights,
                                  bool pre_standardized) {
    const std::size_t n = x.rows, p = x.cols;
    Eigen::MatrixXd z;
    Eigen::VectorXd yt;
    if (pre_standardized) {
        z = x.eigen();
        yt = y.eigen();
    } else {
        z = standardize_weighted(x, weights).x_std;
        yt = standardize1_weighted(y, weights).y_std;
    }
    if (weights) {
        const Eigen::VectorXd root = sqrt_col(*weights);
        z = root.asDiagonal() * z;
        yt.array() *= root.array();
    }
    if (!z.allFinite()) return fail(VeltraError::NonFiniteInput{});
    const Eigen::VectorXd u = mat_vec(MatView::of(z).transposed(), VecView::of(yt), par_sequential);
    const double stat = sum_of_squares_in_order(VecView::of(u));
    const MatView zv = MatView::of(z);
    const Eigen::MatrixXd g =
        n > p ? mat_mul(zv.transposed(), zv, par_parallel) : mat_mul(zv, zv.transposed(), par_parallel);
    const Eigen::VectorXd lambda = eigenvalues_symmetric(g);
    const double s1 = lambda.sum(), s2 = sum_of_squares_in_order(VecView::of(lambda));
    if (std::fabs(s1) < 1e-15 || s2 < 1e-30) return PvalueStatistic{1.0, stat};
    const double scale = s2 / s1, dof = s1 * s1 / s2;
    if (stat / scale <= 0.0) return PvalueStatistic{1.0, stat};
    const double a = dof / 2.0;
    if (a <= 0.0) return PvalueStatistic{std::numeric_limits<double>::quiet_NaN(), stat};
    return PvalueStatistic{upper_gamma_q(a, (stat / scale) / 2.0), stat};
}

}  // namespace veltra::resample
