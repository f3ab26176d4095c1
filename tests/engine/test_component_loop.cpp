#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "engine/pls_reference.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/standardize.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;
namespace ref = pls_reference;

namespace {

// Raw X, its moments, and the standardised X and y.
struct Inputs {
    Eigen::MatrixXd x;
    FitX fx;
    Eigen::MatrixXd xs;
    Eigen::VectorXd ys;
};

Inputs prepare(const ref::Data& d) {
    Inputs p{d.x, fit_x_moments(view(d.x), std::nullopt, std::nullopt, par_sequential), {}, {}};
    p.xs = p.fx.materialize(view(d.x));
    p.ys = standardize1_weighted(view(d.y)).y_std;
    return p;
}

PreparedFit fit(const Inputs& in, std::size_t k, std::optional<std::size_t> keep = {}) {
    return pls1_fit_prepared_fro(view(in.xs), view(in.ys), k, keep, in.xs.norm(), par_sequential);
}

}  // namespace

TEST(ComponentLoop, ScoresAreXsTimesRotationsAndCoefIsRQ) {
    const auto pr = prepare(ref::latent_data(120, 15, 3));
    const auto fits = {fit(pr, 5), *pls1_fit_implicit(view(pr.x), pr.fx, view(pr.ys), 5, std::nullopt, par_sequential),
                       fit(pr, 4, 6)};
    for (const PreparedFit& f : fits) {
        ASSERT_GE(f.k_used, 4u);
        const ref::LMat xs = pr.xs.cast<long double>();
        const ref::LMat xr = xs * f.R.cast<long double>();
        EXPECT_LT(rel_diff(f.T.reshaped(), xr.reshaped()), 1e-12);
        const ref::LVec rq = f.R.cast<long double>() * f.Q.cast<long double>();
        const ref::LVec wpq = ref::coef_of(f.W.cast<long double>(), f.P.cast<long double>(),
                                           f.Q.cast<long double>(), Eigen::Index(f.k_used));
        EXPECT_LT(rel_diff(f.coef, rq), 1e-11);
        EXPECT_LT(rel_diff(f.coef, wpq), 1e-12);
    }
}

TEST(ComponentLoop, TiesKeepTheLowerIndexAndKeepAllSelectsNothing) {
    Inputs pr = prepare(ref::latent_data(80, 6, 12));
    pr.xs.col(4) = pr.xs.col(1);
    pr.ys = pr.xs.col(1) + 0.1 * pr.xs.col(0);
    const auto one = fit(pr, 1, 1);
    ASSERT_EQ(one.k_used, 1u);
    EXPECT_EQ(std::fabs(one.W(1, 0)), 1.0);
    EXPECT_EQ(one.W(4, 0), 0.0);
    const auto plain = fit(pr, 3);
    expect_same_fit(fit(pr, 3, 6), plain);
    expect_same_fit(fit(pr, 3, 60), plain);
}

TEST(ComponentLoop, ImplicitCentringGateGrowsWithTheMeanToScaleRatio) {
    // Column 0 has mean 1e4 and scale 1; y_s carries a trace of it far below
    // the implicit gate 2 (1 + 1e4) eps_w but above eps_w itself.
    const Eigen::Index n = 100;
    Eigen::MatrixXd x(n, 2);
    Eigen::VectorXd ys(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const double s = (i % 2 == 0) ? 1.0 : -1.0;
        x(i, 0) = 1e4 + s;
        x(i, 1) = (i % 4 < 2) ? 1.0 : -1.0;
        ys[i] = ((i % 4 == 0 || i % 4 == 3) ? 1.0 : -1.0) + 1e-11 * s;
    }
    const FitX fx = fit_x_moments(view(x), std::nullopt, std::nullopt, par_sequential);
    EXPECT_NEAR(mean_scale_ratio(fx), 1e4, 1e-9);
    const Eigen::MatrixXd xs = fx.materialize(view(x));
    const auto stored =
        pls1_fit_prepared_fro(view(xs), view(ys), 1, std::nullopt, fx.fro, par_sequential);
    const auto implicit = pls1_fit_implicit(view(x), fx, view(ys), 1, std::nullopt, par_sequential);
    EXPECT_TRUE(stored.k_used == 1 && implicit->k_used == 0);

    ImplicitXBackend backend(view(x), fx, par_sequential);
    backend.begin(0.0, 0.0, 3e-12);
    EXPECT_EQ(backend.gate_c_threshold(), 2.0 * (1.0 + 1e4) * 3e-12);
}

TEST(ComponentLoop, ProductsExactInOrderAndSameBitsOnAwkwardShapes) {
    const std::vector<std::pair<Eigen::Index, Eigen::Index>> shapes = {
        {1, 1},     {2, 3},     {3, 17},     {17, 3},   {33, 9},    {1000, 7},
        {40, 2100}, {20000, 5}, {130, 64},   {9000, 40}, {301, 1100}, {2500, 520},
        {100, 5003}, {127, 61}, {1100, 1001}};
    for (auto [n, p] : shapes) {
        const Eigen::MatrixXd x = random_matrix(n, p, 5);
        const Eigen::VectorXd y = random_matrix(n, 1, 6), r = random_matrix(p, 1, 7);
        const Stored rm = store(x, Layout::row_major), strided = store(x, Layout::odd_strides);
        const ref::LMat xl = x.cast<long double>();
        const ref::LVec xty = xl.transpose() * y.cast<long double>();
        const ref::LVec xr = xl * r.cast<long double>();
        const ref::LVec xtxr = xl.transpose() * xr;

        struct Out {
            Eigen::VectorXd c, t, p;
            double tt;
        };
        auto run = [&](MatView v, Par par) {
            XBackend b(v, 1.0, par);
            Out o;
            o.c = b.cross(view(y));
            o.tt = b.score(r, o.t);
            o.p = b.loading(o.t, o.tt);
            return o;
        };
        const Out base = run(view(x), par_sequential);
        EXPECT_LT(rel_diff(base.c, xty), 1e-13) << n << " x " << p;
        EXPECT_LT(rel_diff(base.t, xr), 1e-13) << n << " x " << p;
        EXPECT_NEAR(base.tt, double(xr.squaredNorm()), 1e-13 * double(xr.squaredNorm()));
        EXPECT_LT(rel_diff(base.p * base.tt, xtxr), 1e-12) << n << " x " << p;
        for (const Out& o : {run(view(x), par_parallel), run(rm.view, par_parallel),
                             run(rm.view, par_sequential), run(strided.view, par_parallel)})
            EXPECT_TRUE(same_bits(o.c, base.c) && same_bits(o.t, base.t) &&
                        same_bits(o.p, base.p) && same_bits(o.tt, base.tt))
                << n << " x " << p;
    }
}

TEST(ComponentLoop, ProductsKeepTheirBitsWhereTheBlocksChangeShape) {
    // A column-major X is swept once per component up to 2048 columns and
    // twice beyond; a row-major X of more than 8192 columns goes in blocks of
    // four rows. Each side of both limits gives the products of every other
    // layout, bit for bit.
    const std::vector<std::pair<Eigen::Index, Eigen::Index>> shapes = {
        {601, 2048}, {601, 2049}, {16, 8192}, {13, 8193}, {37, 9000}};
    for (auto [n, p] : shapes) {
        const Eigen::MatrixXd x = random_matrix(n, p, 8);
        const Eigen::VectorXd r = random_matrix(p, 1, 9);
        const ref::LMat xl = x.cast<long double>();
        const ref::LVec xr = xl * r.cast<long double>();
        const ref::LVec xtxr = xl.transpose() * xr;
        auto run = [&](MatView v, Par par) {
            XBackend b(v, 1.0, par);
            Eigen::VectorXd t;
            const double tt = b.score(r, t);
            return std::pair{t, Eigen::VectorXd(b.loading(t, tt) * tt)};
        };
        const auto base = run(view(x), par_parallel);
        EXPECT_LT(rel_diff(base.first, xr), 1e-13) << n << " x " << p;
        EXPECT_LT(rel_diff(base.second, xtxr), 1e-12) << n << " x " << p;
        for (Layout l : {Layout::row_major, Layout::odd_strides, Layout::reversed_rows})
            for (Par par : {par_sequential, par_parallel}) {
                const Stored s = store(x, l);
                const auto o = run(s.view, par);
                EXPECT_TRUE(same_bits(o.first, base.first) && same_bits(o.second, base.second))
                    << n << " x " << p;
            }
    }
}

TEST(ComponentLoop, ImplicitScoreAndLoadWritesEveryColumnOnceOnEveryPath) {
    // One step scores, loads and deflates: against the standardised X in long
    // double, and bit for bit across layouts and threads, on shapes whose
    // products go by pinned column parts (few rows, cached X), by row parts
    // and in two streaming passes (many columns).
    const std::vector<std::pair<Eigen::Index, Eigen::Index>> shapes = {
        {100, 5003}, {300, 2100}, {37, 700}, {300, 40}, {6, 9}, {1200, 1100}, {20, 70000}};
    for (auto [n, p] : shapes) {
        Eigen::MatrixXd x = random_matrix(n, p, 21);
        for (Eigen::Index j = 0; j < p; ++j) x.col(j).array() += double(j % 5);
        const Eigen::VectorXd w = random_matrix(p, 1, 22), r = random_matrix(p, 1, 23);
        const Eigen::VectorXd c0 = random_matrix(p, 1, 24), y = random_matrix(n, 1, 25);
        const FitX fx = fit_x_moments(view(x), std::nullopt, std::nullopt, par_sequential);
        const ref::LMat xs = fx.materialize(view(x)).cast<long double>();
        const ref::LVec t_want = xs * r.cast<long double>();
        const long double tt_want = t_want.squaredNorm();
        const long double q_want = y.cast<long double>().dot(t_want) / tt_want;
        const ref::LVec p_want = xs.transpose() * t_want / tt_want;
        const ref::LVec c_want = c0.cast<long double>() - tt_want * q_want * p_want;

        struct Out {
            Eigen::VectorXd t, c, w, r, p;
            Scored s;
        };
        auto run = [&](MatView v, Par par) {
            ImplicitXBackend b(v, fx, par);
            Out o{{}, c0, Eigen::VectorXd::Constant(p, NAN), Eigen::VectorXd::Constant(p, NAN),
                  Eigen::VectorXd::Constant(p, NAN), {}};
            o.s = b.score_and_load(w, r, view(y), o.t, o.c, o.w.data(), o.r.data(), o.p.data());
            return o;
        };
        const Out base = run(view(x), par_parallel);
        const std::string at = std::to_string(n) + " x " + std::to_string(p);
        EXPECT_TRUE(same_bits(base.w, w) && same_bits(base.r, r)) << at;
        EXPECT_LT(rel_diff(base.t, t_want), 1e-12) << at;
        EXPECT_LT(rel_diff(base.p, p_want), 1e-11) << at;
        EXPECT_LT(rel_diff(base.c, c_want), 1e-11) << at;
        EXPECT_NEAR(base.s.q, double(q_want), 1e-11 * std::abs(double(q_want))) << at;
        for (Layout l : {Layout::row_major, Layout::odd_strides})
            for (Par par : {par_sequential, par_parallel}) {
                const Stored s = store(x, l);
                const Out o = run(s.view, par);
                EXPECT_TRUE(same_bits(o.t, base.t) && same_bits(o.c, base.c) &&
                            same_bits(o.p, base.p) && same_bits(o.s.tt, base.s.tt) &&
                            same_bits(o.s.q, base.s.q))
                    << at;
            }
    }
}
