#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <tbb/task_arena.h>

#include "engine/pls_reference.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/fit.hpp"
#include "veltra/fit_x.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;
namespace ref = pls_reference;

namespace {


VecView view(const std::vector<double>& v) { return {v.data(), v.size(), 1}; }

FitOpts strict_opts() { return {std::nullopt, false, true, false}; }



void expect_same_model(const Pls1Model& a, const Pls1Model& b) {
    EXPECT_TRUE(same_bits(a.T, b.T));
    EXPECT_TRUE(same_bits(a.P, b.P));
    EXPECT_TRUE(same_bits(a.W, b.W));
    EXPECT_TRUE(same_bits(a.Q, b.Q));
    EXPECT_TRUE(same_bits(a.coef, b.coef));
    EXPECT_TRUE(same_bits(a.beta, b.beta));
    EXPECT_EQ(std::memcmp(&a.intercept, &b.intercept, sizeof(double)), 0);
    EXPECT_EQ(a.k_used, b.k_used);
}

std::string message_of(const Result<Pls1Model>& r) { return r.error().display(); }

// Raw-scale beta and intercept of the long-double reference.
struct RefModel {
    ref::Fit fit;
    ref::LVec beta;
    long double intercept;
};

RefModel reference(const ref::Data& d, Eigen::Index k,
                   const std::optional<std::vector<double>>& w = {},
                   std::optional<Eigen::Index> keep = {}) {
    const auto s = ref::standardize(d.x, d.y, w);
    RefModel m{ref::nipals(s.xs, s.ys, k, keep), {}, 0};
    m.beta = m.fit.coef.cwiseProduct(s.sd.cwiseInverse()) * s.y_sd;
    m.intercept = s.y_mean - s.mean.dot(m.beta);
    return m;
}

void expect_matches_reference(const Pls1Model& m, const RefModel& r, double tol) {
    ASSERT_EQ(Eigen::Index(m.k_used), r.fit.k_used);
    EXPECT_LT(rel_diff(m.beta, r.beta), tol);
    EXPECT_NEAR(m.intercept, double(r.intercept), tol * std::fabs(double(r.intercept)) + tol);
    EXPECT_LT(rel_diff(m.coef, r.fit.coef), tol);
    const auto k = r.fit.k_used;
    EXPECT_LT(rel_diff(m.W.reshaped(), ref::LMat(r.fit.W.leftCols(k)).reshaped()), tol);
    EXPECT_LT(rel_diff(m.P.reshaped(), ref::LMat(r.fit.P.leftCols(k)).reshaped()), tol);
    EXPECT_LT(rel_diff(m.T.reshaped(), ref::LMat(r.fit.T.leftCols(k)).reshaped()), tol);
    EXPECT_LT(rel_diff(m.Q, r.fit.Q), tol);
}

}  // namespace

TEST(Pls1Fit, MatchesTextbookNipalsTallAndWide) {
    for (auto [n, p, k] : {std::tuple{400, 12, 5}, std::tuple{30, 250, 4}}) {
        const auto d = ref::latent_data(n, p, 11 + unsigned(n));
        const auto m = pls1_fit(view(d.x), view(d.y), std::size_t(k), std::nullopt, strict_opts());
        ASSERT_TRUE(m) << message_of(m);
        expect_matches_reference(*m, reference(d, k), 1e-10);
        EXPECT_FALSE(m->weights);
        EXPECT_EQ(m->n_eff, double(n));
    }
}

TEST(Pls1Fit, MatchesTextbookNipalsWeighted) {
    for (auto [n, p, k] : {std::tuple{300, 10, 4}, std::tuple{25, 120, 3}}) {
        const auto d = ref::latent_data(n, p, 5 + unsigned(p));
        const auto w = ref::positive_weights(std::size_t(n), 3);
        const auto m = pls1_fit(view(d.x), view(d.y), std::size_t(k), view(w), strict_opts());
        ASSERT_TRUE(m) << message_of(m);
        expect_matches_reference(*m, reference(d, k, w), 1e-10);
        ASSERT_TRUE(m->weights);
        long double s = 0, s2 = 0;
        for (double v : w) s += v, s2 += (long double)v * v;
        EXPECT_NEAR(m->n_eff, double(s * s / s2), 1e-12 * n);
        EXPECT_NEAR((*m->weights)[0], double(w[0] * n / s), 1e-14);
    }
}

TEST(Pls1Fit, SparseMatchesTextbookSelection) {
    const auto d = ref::latent_data(200, 30, 17);
    const auto m = spls1_fit(view(d.x), view(d.y), 3, 7, std::nullopt, strict_opts());
    ASSERT_TRUE(m) << message_of(m);
    expect_matches_reference(*m, reference(d, 3, {}, 7), 1e-10);
    EXPECT_EQ(m->keep, std::optional<std::size_t>(7));
    for (Eigen::Index a = 0; a < 3; ++a) EXPECT_EQ((m->W.col(a).array() != 0.0).count(), 7);
}

TEST(Pls1Fit, PreStandardizedUsesTheDataAsGiven) {
    const auto d = ref::latent_data(150, 8, 4);
    const auto s = ref::standardize(d.x, d.y);
    const Eigen::MatrixXd xs = s.xs.cast<double>();
    const Eigen::VectorXd ys = s.ys.cast<double>();
    FitOpts opts = strict_opts();
    opts.pre_standardized = true;
    const auto m = pls1_fit(view(xs), view(ys), 4, std::nullopt, opts);
    ASSERT_TRUE(m) << message_of(m);
    const auto r = ref::nipals(s.xs, s.ys, 4);
    EXPECT_LT(rel_diff(m->coef, r.coef), 1e-10);
    EXPECT_TRUE(same_bits(m->beta, m->coef));
    EXPECT_EQ(m->intercept, 0.0);
    EXPECT_TRUE(m->pre_standardized);
}

TEST(Pls1Fit, PreStandardizedWeightedScalesTheRows) {
    const auto d = ref::latent_data(120, 9, 6);
    const auto s = ref::standardize(d.x, d.y);
    const Eigen::MatrixXd xs = s.xs.cast<double>();
    const Eigen::VectorXd ys = s.ys.cast<double>();
    const auto w = ref::positive_weights(120, 8);
    FitOpts opts = strict_opts();
    opts.pre_standardized = true;
    const auto m = pls1_fit(view(xs), view(ys), 3, view(w), opts);
    ASSERT_TRUE(m) << message_of(m);
    long double sum = 0;
    for (double v : w) sum += v;
    ref::LMat xw = s.xs;
    ref::LVec yw = s.ys;
    for (Eigen::Index i = 0; i < 120; ++i) {
        const long double f = std::sqrt(w[std::size_t(i)] * 120 / sum);
        xw.row(i) *= f;
        yw[i] *= f;
    }
    EXPECT_LT(rel_diff(m->coef, ref::nipals(xw, yw, 3).coef), 1e-10);
}

TEST(Pls1Fit, ComponentCountLimits) {
    const auto d = ref::latent_data(40, 3, 9);
    EXPECT_TRUE(pls1_fit(view(d.x), view(d.y), 3, std::nullopt, strict_opts()));
    const auto over = pls1_fit(view(d.x), view(d.y), 4, std::nullopt, strict_opts());
    ASSERT_FALSE(over);
    EXPECT_EQ(message_of(over), "k=4 exceeds maximum 3");
}

TEST(Pls1Fit, KeepAllEqualsPlainAndTiesKeepTheLowerIndex) {
    const auto d = ref::latent_data(100, 6, 21);
    const auto plain = pls1_fit(view(d.x), view(d.y), 3, std::nullopt, strict_opts());
    const auto all = spls1_fit(view(d.x), view(d.y), 3, 6, std::nullopt, strict_opts());
    ASSERT_TRUE(plain && all);
    EXPECT_TRUE(same_bits(plain->beta, all->beta));
    EXPECT_TRUE(same_bits(plain->W, all->W));

    // Columns 1 and 2 are equal and carry y best: keep=1 takes column 1.
    Eigen::MatrixXd x = d.x;
    x.col(2) = x.col(1);
    Eigen::VectorXd y = x.col(1) + 0.01 * d.x.col(0);
    const auto tie = spls1_fit(view(x), view(y), 1, 1, std::nullopt, strict_opts());
    ASSERT_TRUE(tie) << message_of(tie);
    EXPECT_NE(tie->W(1, 0), 0.0);
    EXPECT_EQ(tie->W(2, 0), 0.0);
}

TEST(Pls1Fit, NoSignalGivesTheZeroModel) {
    const auto d = ref::latent_data(60, 5, 2);
    Eigen::VectorXd constant = Eigen::VectorXd::Constant(60, 2.5);
    // y orthogonal to every centred column: the residual of a random vector
    // after projecting out [1, X] in long double.
    ref::LMat a(60, 6);
    a.col(0).setOnes();
    a.rightCols(5) = d.x.cast<long double>();
    ref::LVec r(60);
    std::mt19937_64 gen(1);
    std::normal_distribution<double> normal;
    for (auto& v : r) v = normal(gen);
    r -= a * ref::solve(a.transpose() * a, a.transpose() * r);
    Eigen::VectorXd orth = r.cast<double>().array() + 7.0;

    for (const Eigen::VectorXd* y : {&constant, &orth}) {
        const auto m = pls1_fit(view(d.x), view(*y), 2, std::nullopt, strict_opts());
        ASSERT_TRUE(m) << message_of(m);
        EXPECT_EQ(m->k_used, 0u);
        EXPECT_EQ(m->coef, Eigen::VectorXd::Zero(5));
        EXPECT_EQ(m->beta, Eigen::VectorXd::Zero(5));
        EXPECT_NEAR(m->intercept, y->mean(), 1e-13 * std::fabs(y->mean()));
        EXPECT_EQ(m->T.cols(), 0);
        EXPECT_EQ(m->W.rows(), 5);
    }
}

TEST(Pls1Fit, UniformWeightsAreNoWeights) {
    const auto d = ref::latent_data(80, 7, 13);
    const std::vector<double> threes(80, 3.0);
    const auto plain = pls1_fit(view(d.x), view(d.y), 3, std::nullopt, strict_opts());
    const auto uniform = pls1_fit(view(d.x), view(d.y), 3, view(threes), strict_opts());
    ASSERT_TRUE(plain && uniform);
    expect_same_model(*plain, *uniform);
    EXPECT_FALSE(uniform->weights);
    EXPECT_EQ(uniform->n_eff, 80.0);
}

TEST(Pls1Fit, IntegerWeightsEqualDuplicatedRows) {
    const auto d = ref::latent_data(50, 6, 31);
    std::vector<double> w(50);
    std::vector<Eigen::Index> rows;
    for (std::size_t i = 0; i < 50; ++i) {
        w[i] = double(i % 3);  // 0, 1 or 2 copies
        for (int c = 0; c < int(w[i]); ++c) rows.push_back(Eigen::Index(i));
    }
    const Eigen::MatrixXd xd = d.x(rows, Eigen::all);
    const Eigen::VectorXd yd = d.y(rows);
    const auto weighted = pls1_fit(view(d.x), view(d.y), 3, view(w), strict_opts());
    const auto duplicated = pls1_fit(view(xd), view(yd), 3, std::nullopt, strict_opts());
    ASSERT_TRUE(weighted && duplicated);
    EXPECT_LT(rel_diff(weighted->beta, duplicated->beta), 1e-11);
    EXPECT_NEAR(weighted->intercept, duplicated->intercept, 1e-11 * std::fabs(duplicated->intercept));
    EXPECT_LT(rel_diff(weighted->Q, duplicated->Q), 1e-11);
    EXPECT_LT(rel_diff(weighted->P.reshaped(), duplicated->P.reshaped()), 1e-11);
}

TEST(Pls1Fit, LargeMeanColumnUsesTheStandardisedCopy) {
    auto d = ref::latent_data(200, 6, 41);
    d.x.col(2) = (d.x.col(2).array() - d.x.col(2).mean()) /
                     std::sqrt((d.x.col(2).array() - d.x.col(2).mean()).square().mean()) +
                 1e6;
    const auto m = pls1_fit(view(d.x), view(d.y), 3, std::nullopt, strict_opts());
    ASSERT_TRUE(m) << message_of(m);

    FitX fx = fit_x_moments(view(d.x), std::nullopt, std::nullopt, par_sequential);
    ASSERT_GT(mean_scale_ratio(fx), 1000.0);
    const auto ys = standardize1_weighted(view(d.y));
    const Eigen::MatrixXd xs = fx.materialize(view(d.x));
    const auto copy_route =
        pls1_fit_prepared_fro(view(xs), view(ys.y_std), 3, std::nullopt, fx.fro, par_sequential);
    const auto implicit_route =
        pls1_fit_implicit(view(d.x), fx, view(ys.y_std), 3, std::nullopt, par_sequential);
    EXPECT_TRUE(same_bits(m->coef, copy_route.coef));
    EXPECT_LT(rel_diff(implicit_route->coef, copy_route.coef), 1e-8);
    expect_matches_reference(*m, reference(d, 3), 1e-9);
}

TEST(Pls1Fit, ErrorsInOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto d = ref::latent_data(5, 3, 1);
    Eigen::MatrixXd x_nan = d.x;
    x_nan(4, 2) = nan;
    Eigen::VectorXd y_nan = d.y;
    y_nan[1] = std::numeric_limits<double>::infinity();
    const Eigen::VectorXd y4 = d.y.head(4);
    const std::vector<double> w_short(4, 1.0), w_neg = {1, 1, -1, 1, 1}, w_conc = {0, 0, 0, 1, 1};
    auto fit = [&](const Eigen::MatrixXd& x, const Eigen::VectorXd& y, std::size_t k,
                   std::optional<std::size_t> keep, std::optional<VecView> w) {
        FitOpts o = strict_opts();
        o.keep = keep;
        return pls1_fit(view(x), view(y), k, w, o);
    };
    EXPECT_EQ(message_of(fit(x_nan, y4, 0, 0, view(w_neg))),
              "dimension mismatch: X has shape (5, 3), y has length 4");
    EXPECT_EQ(message_of(fit(x_nan, y_nan, 0, 0, view(w_neg))), "non-finite values in input");
    EXPECT_EQ(message_of(fit(x_nan, d.y, 0, 0, view(w_neg))), "invalid argument: k must be >= 1");
    EXPECT_EQ(message_of(fit(x_nan, d.y, 4, 0, view(w_neg))), "k=4 exceeds maximum 3");
    EXPECT_EQ(message_of(fit(x_nan, d.y, 2, 0, view(w_neg))),
              "invalid argument: keep must be >= 1 (keep=0 would produce an empty component)");
    EXPECT_EQ(message_of(fit(x_nan, d.y, 2, 4, view(w_neg))),
              "invalid argument: keep=4 exceeds n_features=3");
    EXPECT_EQ(message_of(fit(x_nan, d.y, 2, 3, view(w_short))), "invalid weights: length_mismatch");
    EXPECT_EQ(message_of(fit(x_nan, d.y, 2, 3, view(w_neg))), "invalid weights: negative");
    EXPECT_EQ(message_of(fit(x_nan, d.y, 2, 3, view(w_conc))),
              "invalid weights: insufficient_effective_n");
    EXPECT_TRUE(fit(d.x, d.y, 3, 3, std::nullopt));  // k = keep = p
    EXPECT_EQ(message_of(fit(x_nan, d.y, 2, 3, std::nullopt)), "non-finite values in input");
    const Eigen::MatrixXd x3 = d.x.topRows(3);
    const Eigen::VectorXd y3 = d.y.head(3);
    EXPECT_EQ(message_of(fit(x3, y3, 3, std::nullopt, std::nullopt)),
              "invalid argument: insufficient n for k=3: need n >= k + 1 (got n=3)");
}

TEST(Pls1Fit, StrictPreStandardizedTruncationFails) {
    const auto d = ref::latent_data(40, 4, 3);
    const auto s = ref::standardize(d.x, d.y);
    const Eigen::MatrixXd xs = s.xs.cast<double>();
    const Eigen::VectorXd zero = Eigen::VectorXd::Zero(40);
    FitOpts opts = strict_opts();
    opts.pre_standardized = true;
    const auto m = pls1_fit(view(xs), view(zero), 2, std::nullopt, opts);
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().code(), "invalid_input");
    EXPECT_EQ(message_of(m),
              "invalid input: pls1_fit(pre_standardized=true) truncated to k_used=0 < requested "
              "k=2: NIPALS short-circuited on the 1 component (norm < 1e-14, or at the rounding "
              "floor relative to \u2016X\u2016_F\u00b7\u2016y\u2016). Either X or y is exhausted "
              "(fewer than k informative directions: lower k; at k_used=0, y is orthogonal to X "
              "up to rounding), or the inputs violate the pre_standardized scale contract (see "
              "`FitOpts::pre_standardized`): re-fit with `pre_standardized=false` to let veltra "
              "standardize, or rescale your inputs so that \u2016X\u2016_F \u2265 1e-6.");

    // Rank 2 with k = 3: truncated after two components.
    Eigen::MatrixXd rank2 = xs;
    rank2.col(2) = xs.col(0) + xs.col(1);
    rank2.col(3) = xs.col(0) - 2.0 * xs.col(1);
    const Eigen::VectorXd y = rank2.col(0) + 0.5 * rank2.col(1);
    const auto t = pls1_fit(view(rank2), view(y), 3, std::nullopt, opts);
    ASSERT_FALSE(t);
    EXPECT_NE(message_of(t).find("truncated to k_used=2 < requested k=3: NIPALS short-circuited "
                                 "on the 3 component"),
              std::string::npos);
    // Without strict the shorter model is the answer.
    opts.strict = false;
    const auto loose = pls1_fit(view(rank2), view(y), 3, std::nullopt, opts);
    ASSERT_TRUE(loose);
    EXPECT_EQ(loose->k_used, 2u);
}

TEST(Pls1Fit, OverflowFromFiniteInputsIsAnError) {
    auto d = ref::latent_data(30, 4, 8);
    const Eigen::MatrixXd huge = d.x * 1e200;
    FitOpts opts{std::nullopt, true, false, false};
    const auto m = pls1_fit(view(huge), view(d.y), 2, std::nullopt, opts);
    ASSERT_FALSE(m);
    EXPECT_EQ(message_of(m),
              "invalid input: non-finite result from finite inputs: values are too large for "
              "double precision; rescale the data or let the fit standardize it");
    // A non-finite X on the same path is the input's fault.
    Eigen::MatrixXd inf_x = huge;
    inf_x(3, 1) = std::numeric_limits<double>::infinity();
    EXPECT_EQ(message_of(pls1_fit(view(inf_x), view(d.y), 2, std::nullopt, opts)),
              "non-finite values in input");
    // Standardising first makes the same data harmless.
    EXPECT_TRUE(pls1_fit(view(huge), view(d.y), 2, std::nullopt, strict_opts()));
    // ...unless the raw-scale intercept itself overflows: y near 1e300 and a
    // column of mean 1e10 with spread about 1e-3 give mean * beta beyond 1e308.
    Eigen::MatrixXd x = d.x;
    const Eigen::ArrayXd z = d.x.col(0).array() - d.x.col(0).mean();
    x.col(0) = 1e10 + 1e-3 * z / z.abs().maxCoeff();
    const Eigen::VectorXd y = 1e300 * z / z.abs().maxCoeff();
    const auto o = pls1_fit(view(x), view(y), 1, std::nullopt, strict_opts());
    ASSERT_FALSE(o);
    EXPECT_EQ(message_of(o), message_of(m));
}

TEST(Pls1Fit, ColumnsNearTheOverflowLimitFitAsTheirScaledCopy) {
    // The standardised data do not depend on a column's scale, so the fit of
    // the column divided by c is the reference; only beta carries c.
    constexpr double M = std::numeric_limits<double>::max();
    const Eigen::VectorXd y = (Eigen::VectorXd(4) << 1, 2, 3, 5).finished();
    const struct {
        std::array<double, 4> col;
        double c;
    } cases[] = {{{1e308, 0, 0, 0}, 1e308}, {{-M, M, M, 0}, M}, {{M, -M, M, 0.5 * M}, M}};
    for (const auto& tc : cases) {
        Eigen::MatrixXd x(4, 2), xc(4, 2);
        for (int i = 0; i < 4; ++i) {
            x.row(i) << i + 1, tc.col[i];
            xc.row(i) << i + 1, tc.col[i] / tc.c;
        }
        for (const std::optional<std::size_t> keep : {std::optional<std::size_t>(), {2}}) {
            FitOpts opts = strict_opts();
            opts.keep = keep;
            const auto m = pls1_fit(view(x), view(y), 1, std::nullopt, opts);
            const auto r = pls1_fit(view(xc), view(y), 1, std::nullopt, opts);
            ASSERT_TRUE(m) << message_of(m);
            ASSERT_TRUE(r);
            for (const auto& [got, want] : {std::pair{m->W, r->W}, {m->P, r->P}, {m->T, r->T}}) {
                EXPECT_TRUE(got.allFinite());
                EXPECT_LT(rel_diff(got.reshaped(), want.reshaped()), 1e-13);
            }
            EXPECT_LT(rel_diff(m->Q, r->Q), 1e-13);
            EXPECT_LT(rel_diff(m->coef, r->coef), 1e-13);
            EXPECT_NEAR(m->beta[0], r->beta[0], 1e-13 * std::fabs(r->beta[0]));
            EXPECT_NEAR(m->beta[1] * tc.c, r->beta[1], 1e-13 * std::fabs(r->beta[1]));
            EXPECT_NEAR(m->intercept, r->intercept, 1e-13 * std::fabs(r->intercept));
        }
    }
    // Taken as already standardised, the same data have no representable
    // model: an error, though the coefficients alone might pass for one.
    FitOpts pre{std::nullopt, true, false, false};
    Eigen::MatrixXd x(4, 2);
    x << 1, 1e308, 2, 0, 3, 0, 4, 0;
    EXPECT_EQ(message_of(pls1_fit(view(x), view(y), 1, std::nullopt, pre)),
              "invalid input: non-finite result from finite inputs: values are too large for "
              "double precision; rescale the data or let the fit standardize it");
}

TEST(Pls1Fit, NoRowsIsRefusedEvenWhenNotStrict) {
    const Eigen::MatrixXd x(0, 3);
    const Eigen::VectorXd y(0);
    const auto m = pls1_fit_impl(view(x), view(y), 1, std::nullopt, FitOpts{});
    ASSERT_FALSE(m);
    EXPECT_EQ(message_of(m), "invalid argument: insufficient n for k=1: need n >= k + 1 (got n=0)");
}

TEST(Pls1Fit, SameBitsOnOneThreadAndMany) {
    // Large enough for the parallel products: n p k above 999,999.
    const auto d = ref::latent_data(3000, 120, 77);
    const auto w = ref::positive_weights(3000, 5);
    for (bool weighted : {false, true}) {
        const std::optional<VecView> wv = weighted ? std::optional<VecView>(view(w)) : std::nullopt;
        auto run = [&] { return pls1_fit(view(d.x), view(d.y), 4, wv, strict_opts()); };
        std::optional<Result<Pls1Model>> one;
        tbb::task_arena(1).execute([&] { one.emplace(run()); });
        const auto many = run();
        ASSERT_TRUE(*one && many);
        expect_same_model(**one, *many);
        ::setenv("VELTRA_NUM_THREADS", "2", 1);
        const auto capped = run();
        ::unsetenv("VELTRA_NUM_THREADS");
        ASSERT_TRUE(capped);
        expect_same_model(*capped, *many);
        FitOpts seq = strict_opts();
        seq.sequential = true;
        const auto sequential = pls1_fit(view(d.x), view(d.y), 4, wv, seq);
        ASSERT_TRUE(sequential);
        expect_same_model(*sequential, *many);
    }
}

TEST(Pls1Fit, SameBitsForEveryLayout) {
    auto d = ref::latent_data(500, 40, 19);
    const auto w = ref::positive_weights(500, 2);
    Eigen::MatrixXd big_mean = d.x;
    big_mean.col(5).array() += 1e7;  // routes through the standardised copy
    const auto s = ref::standardize(d.x, d.y);
    const Eigen::MatrixXd pre = s.xs.cast<double>();
    const Eigen::VectorXd pre_y = s.ys.cast<double>();
    struct Case {
        const Eigen::MatrixXd* x;
        const Eigen::VectorXd* y;
        bool pre_standardized;
        bool weighted;
    };
    for (const Case& c : {Case{&d.x, &d.y, false, false}, Case{&d.x, &d.y, false, true},
                          Case{&big_mean, &d.y, false, true}, Case{&pre, &pre_y, true, false},
                          Case{&pre, &pre_y, true, true}}) {
        const RowMajor rm = *c.x;
        // Every other row of a taller matrix: neither stride is 1.
        Eigen::MatrixXd tall = Eigen::MatrixXd::Zero(2 * c.x->rows(), c.x->cols());
        for (Eigen::Index i = 0; i < c.x->rows(); ++i) tall.row(2 * i) = c.x->row(i);
        const MatView strided{tall.data(), std::size_t(c.x->rows()), std::size_t(c.x->cols()), 2,
                              tall.rows()};
        FitOpts o = strict_opts();
        o.pre_standardized = c.pre_standardized;
        o.keep = 17;
        const std::optional<VecView> wv = c.weighted ? std::optional<VecView>(view(w)) : std::nullopt;
        const auto col = pls1_fit(view(*c.x), view(*c.y), 5, wv, o);
        const auto row = pls1_fit(view(rm), view(*c.y), 5, wv, o);
        const auto other = pls1_fit(strided, view(*c.y), 5, wv, o);
        ASSERT_TRUE(col && row && other);
        EXPECT_EQ(col->k_used, 5u);
        expect_same_model(*col, *row);
        expect_same_model(*col, *other);
    }
}

TEST(Pls1Fit, CoefficientsAtFewerComponents) {
    const auto d = ref::latent_data(150, 9, 29);
    const auto m = pls1_fit(view(d.x), view(d.y), 4, std::nullopt, strict_opts());
    ASSERT_TRUE(m);
    const auto s = ref::standardize(d.x, d.y);
    const auto r = ref::nipals(s.xs, s.ys, 4);
    for (std::size_t k = 0; k <= 4; ++k) {
        const Eigen::VectorXd c = pls1_coef_at_k(view(m->W), view(m->P), view(m->Q), k);
        const ref::LVec expected = ref::coef_of(r.W, r.P, r.Q, Eigen::Index(k));
        if (k == 0)
            EXPECT_EQ(c, Eigen::VectorXd::Zero(9));
        else
            EXPECT_LT(rel_diff(c, expected), 1e-10);
    }
}

TEST(Pls1FitBytes, RoundsRowsAndSaturates) {
    EXPECT_EQ(pls1_fit_bytes(0, 7), 0u);
    EXPECT_EQ(pls1_fit_bytes(1, 1), 576u);
    EXPECT_EQ(pls1_fit_bytes(9, 2), 40u * 16 * 2 + 32 * 16);
    EXPECT_EQ(pls1_fit_bytes(1ull << 40, 1ull << 30), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(pls1_fit_bytes(std::numeric_limits<std::uint64_t>::max(), 1),
              std::numeric_limits<std::uint64_t>::max());
}
