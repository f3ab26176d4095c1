#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/pls_reference.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/fit.hpp"
#include "veltra/fit_x.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;
namespace ref = pls_reference;

namespace {

using Weights = std::optional<std::vector<double>>;

std::optional<VecView> view_of(const Weights& w) {
    return w ? std::optional<VecView>(view(*w)) : std::nullopt;
}

std::string message_of(const Result<Pls1Model>& r) { return r ? "ok" : r.error().display(); }

// Raw-scale beta and intercept of the long-double reference.
struct RefModel {
    ref::Fit fit;
    ref::LVec beta;
    long double intercept;
};

RefModel reference(const ref::Data& d, Eigen::Index k, const Weights& w = {},
                   std::optional<Eigen::Index> keep = {}) {
    const auto s = ref::standardize(d.x, d.y, w);
    RefModel m{ref::nipals(s.xs, s.ys, k, keep), {}, 0};
    m.beta = m.fit.coef.cwiseProduct(s.sd.cwiseInverse()) * s.y_sd;
    m.intercept = s.y_mean - s.mean.dot(m.beta);
    return m;
}

void expect_matches_reference(const Pls1Model& m, const RefModel& r, double tol) {
    ASSERT_EQ(Eigen::Index(m.k_used), r.fit.k_used);
    const auto k = r.fit.k_used;
    EXPECT_LT(rel_diff(m.beta, r.beta), tol);
    EXPECT_NEAR(m.intercept, double(r.intercept), tol * std::fabs(double(r.intercept)) + tol);
    EXPECT_LT(rel_diff(m.coef, r.fit.coef), tol);
    EXPECT_LT(rel_diff(m.W.reshaped(), ref::LMat(r.fit.W.leftCols(k)).reshaped()), tol);
    EXPECT_LT(rel_diff(m.P.reshaped(), ref::LMat(r.fit.P.leftCols(k)).reshaped()), tol);
    EXPECT_LT(rel_diff(m.T.reshaped(), ref::LMat(r.fit.T.leftCols(k)).reshaped()), tol);
    EXPECT_LT(rel_diff(m.Q, r.fit.Q), tol);
}

}  // namespace

TEST(Pls1Fit, MatchesTextbookNipals) {
    struct Case {
        int n, p, k;
        bool weighted;
        std::optional<std::size_t> keep;
    };
    for (const Case c : {Case{400, 12, 5, false, {}}, Case{30, 250, 4, false, {}},
                         Case{300, 10, 4, true, {}}, Case{25, 120, 3, true, {}},
                         Case{200, 30, 3, false, 7}}) {
        SCOPED_TRACE(testing::Message() << c.n << "x" << c.p << " weighted " << c.weighted);
        const auto d = ref::latent_data(c.n, c.p, unsigned(c.n + c.p));
        const Weights w = c.weighted ? Weights(ref::positive_weights(std::size_t(c.n), 3)) : Weights();
        FitOpts o = strict_opts();
        o.keep = c.keep;
        const auto m = pls1_fit(view(d.x), view(d.y), std::size_t(c.k), view_of(w), o);
        ASSERT_TRUE(m) << message_of(m);
        std::optional<Eigen::Index> keep;
        if (c.keep) {
            keep = Eigen::Index(*c.keep);
            for (Eigen::Index a = 0; a < c.k; ++a)
                EXPECT_EQ((m->W.col(a).array() != 0.0).count(), *keep);
        }
        expect_matches_reference(*m, reference(d, c.k, w, keep), 1e-10);
        EXPECT_EQ(m->keep, c.keep);
        EXPECT_EQ(bool(m->weights), c.weighted);
        long double s = 0, s2 = 0;
        for (double v : w.value_or(std::vector<double>(std::size_t(c.n), 1.0))) s += v, s2 += (long double)v * v;
        EXPECT_NEAR(m->n_eff, double(s * s / s2), 1e-12 * c.n);
    }
}

TEST(Pls1Fit, PreStandardizedUsesTheDataAsGivenWithRowsScaledByWeights) {
    const auto d = ref::latent_data(120, 9, 6);
    const auto s = ref::standardize(d.x, d.y);
    const Eigen::MatrixXd xs = s.xs.cast<double>();
    const Eigen::VectorXd ys = s.ys.cast<double>();
    FitOpts opts = strict_opts();
    opts.pre_standardized = true;
    for (const Weights& w : {Weights(), Weights(ref::positive_weights(120, 8))}) {
        const auto m = pls1_fit(view(xs), view(ys), 3, view_of(w), opts);
        ASSERT_TRUE(m) << message_of(m);
        ref::LMat xw = s.xs;
        ref::LVec yw = s.ys;
        long double sum = 0;
        for (int i = 0; i < 120; ++i) sum += w ? (*w)[std::size_t(i)] : 1.0;
        for (Eigen::Index i = 0; i < 120; ++i) {
            const long double f = std::sqrt((w ? (*w)[std::size_t(i)] : 1.0) * 120 / sum);
            xw.row(i) *= f;
            yw[i] *= f;
        }
        EXPECT_LT(rel_diff(m->coef, ref::nipals(xw, yw, 3).coef), 1e-10);
        EXPECT_TRUE(same_bits(m->beta, m->coef) && m->intercept == 0.0 && m->pre_standardized);
    }
}

TEST(Pls1Fit, NoSignalGivesTheZeroModel) {
    const auto d = ref::latent_data(60, 5, 2);
    // y orthogonal to every centred column: the residual of a random vector
    // after projecting out [1, X] in long double.
    ref::LMat a(60, 6);
    a.col(0).setOnes();
    a.rightCols(5) = d.x.cast<long double>();
    ref::LVec r = random_matrix(60, 1, 1).cast<long double>();
    r -= a * ref::solve(a.transpose() * a, a.transpose() * r);
    const Eigen::VectorXd y = r.cast<double>().array() + 7.0;
    const auto m = pls1_fit(view(d.x), view(y), 2, std::nullopt, strict_opts());
    ASSERT_TRUE(m) << message_of(m);
    EXPECT_TRUE(m->k_used == 0 && m->coef == Eigen::VectorXd::Zero(5) &&
                m->beta == Eigen::VectorXd::Zero(5) && m->T.cols() == 0 && m->W.rows() == 5);
    EXPECT_NEAR(m->intercept, y.mean(), 1e-13 * std::fabs(y.mean()));
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
    const Eigen::ArrayXd c = d.x.col(2).array() - d.x.col(2).mean();
    d.x.col(2) = c / std::sqrt(c.square().mean()) + 1e6;
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
    const auto d = ref::latent_data(5, 3, 1);
    Eigen::MatrixXd x_nan = d.x;
    x_nan(4, 2) = std::numeric_limits<double>::quiet_NaN();
    Eigen::VectorXd y_inf = d.y;
    y_inf[1] = std::numeric_limits<double>::infinity();
    const Eigen::VectorXd y4 = d.y.head(4), y3 = d.y.head(3);
    const Eigen::MatrixXd x3 = d.x.topRows(3), x0(0, 3);
    const Eigen::VectorXd y0(0);
    const Weights none, w_short(std::vector<double>(4, 1.0)), w_neg(std::vector<double>{1, 1, -1, 1, 1}),
        w_conc(std::vector<double>{0, 0, 0, 1, 1});
    struct Case {
        const Eigen::MatrixXd& x;
        const Eigen::VectorXd& y;
        std::size_t k;
        std::optional<std::size_t> keep;
        const Weights& w;
        const char* message;
        bool strict = true;
    };
    const Case cases[] = {
        {x_nan, y4, 0, 0, w_neg, "dimension mismatch: X has shape (5, 3), y has length 4"},
        {x_nan, y_inf, 0, 0, w_neg, "non-finite values in input"},
        {x_nan, d.y, 0, 0, w_neg, "invalid argument: k must be >= 1"},
        {x_nan, d.y, 4, 0, w_neg, "k=4 exceeds maximum 3"},
        {x_nan, d.y, 2, 0, w_neg,
         "invalid argument: keep must be >= 1 (keep=0 would produce an empty component)"},
        {x_nan, d.y, 2, 4, w_neg, "invalid argument: keep=4 exceeds n_features=3"},
        {x_nan, d.y, 2, 3, w_short, "invalid weights: length_mismatch"},
        {x_nan, d.y, 2, 3, w_neg, "invalid weights: negative"},
        {x_nan, d.y, 2, 3, w_conc, "invalid weights: insufficient_effective_n"},
        {x_nan, d.y, 2, 3, none, "non-finite values in input"},
        {d.x, d.y, 3, 3, none, "ok"},  // k = keep = p
        {x3, y3, 3, {}, none, "invalid argument: insufficient n for k=3: need n >= k + 1 (got n=3)"},
        {x0, y0, 1, {}, none, "invalid argument: insufficient n for k=1: need n >= k + 1 (got n=0)",
         false},
    };
    for (const Case& c : cases) {
        FitOpts o = strict_opts();
        o.keep = c.keep;
        o.strict = c.strict;
        EXPECT_EQ(message_of(pls1_fit(view(c.x), view(c.y), c.k, view_of(c.w), o)), c.message);
    }
}

TEST(Pls1Fit, StrictPreStandardizedTruncationFails) {
    const auto d = ref::latent_data(40, 4, 3);
    const Eigen::MatrixXd xs = ref::standardize(d.x, d.y).xs.cast<double>();
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
    EXPECT_FALSE(pls1_fit(view(rank2), view(y), 3, std::nullopt, opts));
    // Without strict the shorter model is the answer.
    opts.strict = false;
    const auto loose = pls1_fit(view(rank2), view(y), 3, std::nullopt, opts);
    EXPECT_TRUE(loose && loose->k_used == 2);
}

TEST(Pls1Fit, OverflowFromFiniteInputsIsAnError) {
    auto d = ref::latent_data(30, 4, 8);
    const Eigen::MatrixXd huge = d.x * 1e200;
    FitOpts opts;
    opts.pre_standardized = true;
    const std::string overflow =
        "invalid input: non-finite result from finite inputs: values are too large for double "
        "precision; rescale the data or let the fit standardize it";
    EXPECT_EQ(message_of(pls1_fit(view(huge), view(d.y), 2, std::nullopt, opts)), overflow);
    // A non-finite X on the same path is the input's fault.
    Eigen::MatrixXd inf_x = huge;
    inf_x(3, 1) = std::numeric_limits<double>::infinity();
    EXPECT_EQ(message_of(pls1_fit(view(inf_x), view(d.y), 2, std::nullopt, opts)),
              "non-finite values in input");
    // ...unless the raw-scale intercept itself overflows: y near 1e300 and a
    // column of mean 1e10 with spread about 1e-3 give mean * beta beyond 1e308.
    Eigen::MatrixXd x = d.x;
    const Eigen::ArrayXd z = d.x.col(0).array() - d.x.col(0).mean();
    x.col(0) = 1e10 + 1e-3 * z / z.abs().maxCoeff();
    const Eigen::VectorXd y = 1e300 * z / z.abs().maxCoeff();
    EXPECT_EQ(message_of(pls1_fit(view(x), view(y), 1, std::nullopt, strict_opts())), overflow);
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
            ASSERT_TRUE(m && r) << message_of(m);
            for (const auto& [got, want] : {std::pair{m->W, r->W}, {m->P, r->P}, {m->T, r->T}})
                EXPECT_TRUE(got.allFinite() && rel_diff(got.reshaped(), want.reshaped()) < 1e-13);
            EXPECT_LT(rel_diff(m->Q, r->Q), 1e-13);
            EXPECT_LT(rel_diff(m->coef, r->coef), 1e-13);
            EXPECT_NEAR(m->beta[0], r->beta[0], 1e-13 * std::fabs(r->beta[0]));
            EXPECT_NEAR(m->beta[1] * tc.c, r->beta[1], 1e-13 * std::fabs(r->beta[1]));
            EXPECT_NEAR(m->intercept, r->intercept, 1e-13 * std::fabs(r->intercept));
        }
    }
}

TEST(Pls1Fit, SameBitsForEveryLayoutAndThreadSetting) {
    // Large enough for the parallel products: n p k above 999,999.
    auto d = ref::latent_data(3000, 120, 19);
    const auto w = ref::positive_weights(3000, 2);
    Eigen::MatrixXd big_mean = d.x;
    big_mean.col(5).array() += 1e7;  // routes through the standardised copy
    const auto s = ref::standardize(d.x, d.y);
    const Eigen::MatrixXd pre = s.xs.cast<double>();
    const Eigen::VectorXd pre_y = s.ys.cast<double>();
    struct Case {
        const Eigen::MatrixXd* x;
        const Eigen::VectorXd* y;
        bool pre_standardized, weighted;
    };
    for (const Case& c : {Case{&d.x, &d.y, false, false}, Case{&d.x, &d.y, false, true},
                          Case{&big_mean, &d.y, false, true}, Case{&pre, &pre_y, true, true}}) {
        FitOpts o = strict_opts();
        o.pre_standardized = c.pre_standardized;
        o.keep = 17;
        const std::optional<VecView> wv = c.weighted ? std::optional<VecView>(view(w)) : std::nullopt;
        FitOpts seq = o;
        seq.par = par_sequential;
        const auto col = pls1_fit(view(*c.x), view(*c.y), 4, wv, o);
        ASSERT_TRUE(col && col->k_used == 4);
        // Row-major X of 3000 rows streams its moments in column chunks
        // whose width follows the thread count.
        for (Layout l : {Layout::col_major, Layout::row_major, Layout::odd_strides, Layout::reversed_rows}) {
            const Stored x = store(*c.x, l);
            auto run = [&](const FitOpts& opts) { return pls1_fit(x.view, view(*c.y), 4, wv, opts).value(); };
            expect_same_model(*col, run(o));
            expect_same_model(*col, run(seq));
            expect_same_model(*col, in_one_thread([&] { return run(o); }));
            ThreadsGuard cap("2");
            expect_same_model(*col, run(o));
        }
    }
}

TEST(Pls1Fit, CoefficientsAtFewerComponents) {
    const auto d = ref::latent_data(150, 9, 29);
    const auto m = pls1_fit(view(d.x), view(d.y), 4, std::nullopt, strict_opts());
    ASSERT_TRUE(m);
    const auto s = ref::standardize(d.x, d.y);
    const auto r = ref::nipals(s.xs, s.ys, 4);
    EXPECT_EQ(pls1_coef_at_k(view(m->W), view(m->P), view(m->Q), 0), Eigen::VectorXd::Zero(9));
    for (std::size_t k = 1; k <= 4; ++k)
        EXPECT_LT(rel_diff(pls1_coef_at_k(view(m->W), view(m->P), view(m->Q), k),
                           ref::coef_of(r.W, r.P, r.Q, Eigen::Index(k))),
                  1e-10);
}

TEST(Pls1FitBytes, RoundsRowsAndSaturates) {
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t cases[][3] = {{0, 7, 0},
                                      {1, 1, 576},
                                      {9, 2, 40u * 16 * 2 + 32 * 16},
                                      {1ull << 40, 1ull << 30, max},
                                      {max, 1, max}};
    for (const auto& c : cases) EXPECT_EQ(pls1_fit_bytes(c[0], c[1]), c[2]) << c[0] << " x " << c[1];
}
