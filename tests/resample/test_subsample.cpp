#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "engine/test_support.hpp"
#include "resample/resample_test_support.hpp"
#include "veltra/linalg.hpp"
#include "veltra/resample/subsample.hpp"

using namespace veltra;
using namespace veltra::resample;
using test_support::view;
using u64 = std::uint64_t;

namespace {

std::string error_of(const Result<void>& r) { return r ? "" : r.error().display(); }

// 100 outcomes from one maker, around a fit of beta (1, 0) with the
// leverages 0.5, 0.99, 0.01 of n = 3 rows, m = 2.
struct Reduction {
    Pls1Model fit;
    Eigen::VectorXd leverages = Eigen::Vector3d(0.5, 0.99, 0.01);
    std::vector<WorkerOutcome> outcomes;
    SubsampleOpts opts;

    explicit Reduction(const std::function<WorkerOutcome(int)>& make) {
        fit.beta = Eigen::Vector2d(1.0, 0.0);
        for (int b = 0; b < 100; ++b) outcomes.push_back(make(b));
    }
    Result<ConfirmatoryCI> run() const {
        return reduce_subsample_outcomes(outcomes, fit, view(leverages), opts, 2);
    }
};

WorkerOutcome row(double beta0, double r, double lev = 0.5) {
    const Eigen::Vector2d beta(beta0, 0.5);
    return {WorkerOutcome::Kind::Row, {Eigen::Vector3d::Constant(lev), beta, r}};
}
const WorkerOutcome skipped{WorkerOutcome::Kind::Skipped, {}};

}  // namespace

TEST(Subsample, OptionsAndSizeAreChecked) {
    const std::string bad = "invalid argument: ";
    const struct {
        SubsampleOpts opts;
        std::string message;
    } cases[] = {
        {{100, 0.9, 0.5, 0.0, 1.0}, ""},
        {{100, 0.6, 0.99, 1.0, 0.0}, ""},
        {{100, 0.5, 0.9, 0, 0}, bad + "m_rate must satisfy 0.5 < m_rate < 0.95, got 0.5"},
        {{100, 0.95, 0.9, 0, 0}, bad + "m_rate must satisfy 0.5 < m_rate < 0.95, got 0.95"},
        {{100, 0.7, NAN, 0, 0}, bad + "level must satisfy 0.5 ≤ level ≤ 0.99, got NaN"},
        {{99, 0.7, 0.9, 0, 0}, bad + "n_boot must be ≥ 100, got 99"},
        {{100, 0.7, 0.9, 1.5, 0}, bad + "max_failure_rate must be in [0.0, 1.0], got 1.5"},
        {{100, 0.7, 0.9, 0, -0.25}, bad + "max_skip_rate must be in [0.0, 1.0], got -0.25"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(c.opts.validate()), c.message);
    EXPECT_EQ(resolve_ci_m(5, 1, 0.94).error().display(),
              bad + "resolved m = 5 (from n=5, m_rate=0.94) leaves no holdout; need m < n");
}

TEST(Subsample, CenteredIntervalUsesType7QuantilesReflected) {
    // Deviations -1, 0, 1, 3: the 0.25 and 0.75 quantiles are -0.25 and 1.5.
    const std::vector<double> values = {NAN, 3.0, 1.0, 2.0, 5.0};
    const CenteredInterval c = reduce_centered_scaled(values, 2.0, 2.0, 0.5);
    EXPECT_DOUBLE_EQ(c.lower, 2.0 - 2.0 * 1.5);
    EXPECT_DOUBLE_EQ(c.upper, 2.0 + 2.0 * 0.25);
    EXPECT_DOUBLE_EQ(c.se, 2.0 * std::sqrt(8.75 / 3.0));
    const CenteredInterval e = reduce_centered_scaled(std::vector<double>{NAN}, 4.0, 2.0, 0.9);
    EXPECT_TRUE(e.lower == 4.0 && e.upper == 4.0 && e.se == 0.0);
    // Subnormal draws have the spread of the textbook formula in long
    // double, where they are normal numbers.
    const double unit = std::numeric_limits<double>::denorm_min();
    const std::vector<double> tiny = {3 * unit, 5 * unit, 7 * unit, 10 * unit};
    long double mean = 0, ss = 0;
    for (const double v : tiny) mean += v;
    mean /= 4;
    for (const double v : tiny) ss += (v - mean) * (v - mean);
    const CenteredInterval t = reduce_centered_scaled(tiny, 0.0, 1.0, 0.5);
    EXPECT_EQ(t.se, static_cast<double>(std::sqrt(ss / 3)));
    EXPECT_EQ(t.se, 3 * unit);
}

TEST(Subsample, RateChecksCarryTheirCountsAndPassAtTheThreshold) {
    const auto skips = [](int n) {
        return Reduction([=](int b) { return b < n ? skipped : row(1.0, 0.5); });
    };
    EXPECT_TRUE(skips(1).run().has_value());
    const VeltraError degenerate = skips(2).run().error();
    const auto& d = degenerate.as<VeltraError::ResamplingDegenerate>();
    EXPECT_EQ(std::tuple(d.skipped, d.total, d.skip_rate, d.threshold),
              std::tuple(u64{2}, u64{100}, 0.02, 0.01));

    Reduction mixed([](int b) { return b == 0 ? WorkerOutcome{} : row(1.0, b == 1 ? NAN : 0.5); });
    const VeltraError failure = mixed.run().error();
    const auto& f = failure.as<VeltraError::ResampleFailureRateExceeded>();
    EXPECT_EQ(std::tuple(f.max_failure_rate, f.observed_worker, f.observed_holdout_corr,
                         f.n_failed_worker, f.n_failed_holdout_corr, f.n_total),
              std::tuple(0.01, 0.01, 0.02, u64{1}, u64{2}, u64{100}));
    mixed.opts.max_failure_rate = 0.02;
    const ConfirmatoryCI ci = mixed.run().value();
    EXPECT_TRUE(ci.n_boot_finite == 99 && ci.n_boot_finite_holdout_corr == 98);
}

TEST(Subsample, EdgeReductions) {
    // Every correlation NaN: the interval is all zeros.
    Reduction nan_r([](int) { return row(1.0, NAN); });
    nan_r.opts.max_failure_rate = 1.0;
    const ConfirmatoryCI a = nan_r.run().value();
    const CIScalar& h = a.holdout_corr;
    EXPECT_TRUE(h.point == 0.0 && h.lower == 0.0 && h.upper == 0.0 && h.sd == 0.0);
    EXPECT_EQ(a.n_boot_finite_holdout_corr, 0u);
    // Correlations of exactly 1: no Fisher z, their mean stands for all three.
    const CIScalar one = Reduction([](int) { return row(1.0, 1.0); }).run().value().holdout_corr;
    EXPECT_TRUE(one.point == 1.0 && one.lower == 1.0 && one.sd == 0.0);

    // Draws on the other side of zero: the shrinkage factor is 0, the
    // intervals are unbounded and the z values 0 (b_1 = 0 gives 0 anyway).
    // Leverage draws 0, 0.01, ..., 0.99: the bounds stay in [0, 1].
    const auto spread = [](int b) { return row(-1 - 0.01 * b, 0.3 + 0.001 * b, 0.01 * b); };
    const ConfirmatoryCI c = Reduction(spread).run().value();
    EXPECT_EQ(c.beta_ci_lower, Eigen::Vector2d::Constant(-INFINITY));
    EXPECT_EQ(c.beta_se, Eigen::Vector2d::Constant(INFINITY));
    EXPECT_EQ(c.beta_sign_z_signed, Eigen::Vector2d::Zero());
    EXPECT_NEAR(c.leverage_se[0], 0.01 * std::sqrt(10100.0 / 12.0), 1e-14);
    EXPECT_TRUE(c.leverage_ci_upper[1] == 1.0 && c.leverage_ci_lower[2] == 0.0);
    EXPECT_DOUBLE_EQ(c.holdout_corr.point, 0.3495);
    EXPECT_TRUE(c.holdout_corr.lower < 0.3495 && c.holdout_corr.upper > 0.3495);
}

namespace {

// y = x0 - 0.5 x1 + N(0, 1) noise, 200 rows; the subsample intervals of
// its three-component fit at level 0.9.
struct Simulated {
    Eigen::MatrixXd x;
    Eigen::VectorXd y;

    explicit Simulated(unsigned seed) : x(2.0 * resample_test::random_matrix(200, 3, seed)) {
        std::mt19937_64 gen(seed + 1000);
        std::normal_distribution<double> noise;
        y = x.col(0) - 0.5 * x.col(1);
        for (Eigen::Index i = 0; i < 200; ++i) y[i] += noise(gen);
    }
    Result<ConfirmatoryCI> intervals(std::optional<VecView> w, u64 seed) const {
        const Pls1Model fit = pls1_fit_impl(view(x), view(y), 3, w, {{}, false, true}).value();
        const Eigen::VectorXd lev = leverage_diag(MatView::of(fit.T));
        ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
        return pls1_subsample_inference_confirmatory(view(x), view(y), 3, fit, view(lev),
                                                     {100, 0.7, 0.9, 0.05, 0.01}, false, w, rng);
    }
};

}  // namespace

// With k = p the fit is least squares and unbiased: 90% intervals of the
// known coefficients cover them in most of 20 simulated data sets.
TEST(Subsample, IntervalsCoverAKnownCoefficient) {
    const Eigen::Vector3d truth(1.0, -0.5, 0.0);
    int covered = 0;
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const ConfirmatoryCI ci = Simulated(seed).intervals(std::nullopt, seed).value();
        for (Eigen::Index j = 0; j < 3; ++j)
            covered += ci.beta_ci_lower[j] <= truth[j] && truth[j] <= ci.beta_ci_upper[j];
        EXPECT_GT(ci.holdout_corr.lower, 0.3);
        EXPECT_EQ(ci.m, 41u);
    }
    EXPECT_GE(covered, 42);  // 56 of 60 at the time of writing
}

// Weight on five rows only: many subsamples hold fewer than k + 1 = 4
// effective rows and are skipped.
TEST(Subsample, ConcentratedWeightsSkipDraws) {
    Eigen::VectorXd w = Eigen::VectorXd::Constant(200, 1e-9);
    w.head(5).setOnes();
    const VeltraError err = Simulated(4).intervals(view(w), 2).error();
    const auto& d = err.as<VeltraError::ResamplingDegenerate>();
    EXPECT_GT(d.skipped, 1u);
    EXPECT_EQ(std::tuple(d.total, d.skip_rate, d.threshold),
              std::tuple(u64{100}, d.skipped / 100.0, 0.01));
}
