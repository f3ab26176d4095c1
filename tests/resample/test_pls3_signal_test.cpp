// The two-block confirmatory test: its argument checks in order, one
// statistic on every route, p-values on the permutation lattice that find a
// shared factor and stay level without one, and the same bits on any thread
// count and memory budget.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/pls3_reference.hpp"
#include "resample/resample_test_support.hpp"
#include "veltra/resample/pls3_signal_test.hpp"
#include "veltra/resample/split_nb.hpp"

using namespace veltra;
using pls3_test::random_block;
using pls3_test::related_block;
using M = ConfirmatoryMethod;

namespace {

Pls3ConfirmatoryOpts opts(M method, std::uint64_t n_perm, std::uint64_t n_splits,
                          std::uint64_t seed = 7) {
    Pls3ConfirmatoryOpts o;
    o.method = method;
    o.n_perm = n_perm;
    o.n_splits = n_splits;
    o.seed = seed;
    return o;
}

ConfirmatoryTestOutput run(const Eigen::MatrixXd& x, const Eigen::MatrixXd& y,
                           const Pls3ConfirmatoryOpts& o) {
    auto out = pls3_confirmatory_test(MatView::of(x), MatView::of(y), 1, o);
    EXPECT_TRUE(out.has_value()) << out.error().display();
    return *out;
}

// X and Y sharing one latent factor (scale 0 for independent blocks).
std::pair<Eigen::MatrixXd, Eigen::MatrixXd> latent(Eigen::Index n, Eigen::Index p, Eigen::Index q,
                                                   double scale, unsigned seed) {
    const Eigen::MatrixXd f = resample_test::random_matrix(n, 1, seed);
    Eigen::MatrixXd x = resample_test::random_matrix(n, p, seed + 1);
    Eigen::MatrixXd y = resample_test::random_matrix(n, q, seed + 2);
    x.colwise() += scale * f.col(0);
    y.colwise() += scale * f.col(0);
    return {x, y};
}

}  // namespace

TEST(Pls3SignalTest, ArgumentChecksInOrder) {
    const Eigen::MatrixXd x = random_block(30, 6, 1), y = random_block(30, 2, 2);
    Eigen::MatrixXd x_nan = x, y_nan = y;
    x_nan(3, 1) = y_nan(4, 0) = std::numeric_limits<double>::quiet_NaN();
    const Eigen::MatrixXd y_short = y.topRows(29), none = Eigen::MatrixXd(30, 0);
    auto keep_y = [](Pls3ConfirmatoryOpts o) { o.sparse.keep_Y = 0; return o; };
    struct Case {
        const Eigen::MatrixXd &x, &y;
        std::uint64_t k;
        Pls3ConfirmatoryOpts o;
        std::string code, message;
    };
    const Case cases[] = {
        {x_nan, y_short, 0, opts(M::score, 0, 0), "dimension_mismatch", ""},
        {x_nan, y_nan, 0, opts(M::score, 0, 0), "non_finite_input", ""},
        {x, y_nan, 0, opts(M::score, 0, 0), "non_finite_input", ""},
        {x, none, 0, opts(M::score, 0, 0), "invalid_argument", "k must be >= 1"},
        {x, none, 2, opts(M::score, 0, 0), "invalid_argument",
         "pls3_confirmatory_test supports k = 1 only (got k=2): above LV1 neither the component "
         "ordering nor the individual directions need survive to the test half when singular "
         "values are close, and whether the statistic is per-component or subspace-level is "
         "undecided"},
        {x, none, 1, keep_y(opts(M::score, 0, 0)), "k_exceeds_max", "k=1 exceeds maximum 0"},
        {x, y, 1, keep_y(opts(M::score, 0, 0)), "invalid_argument", "keep_y"},
        {x, y, 1, opts(M::raw_perm, 0, 0), "invalid_argument",
         "pls3_confirmatory_test supports test_method='split_exact', 'split_nb' or 'auto' (got "
         "'raw_perm'): 'raw_perm' needs a CV statistic PLS3 does not have (there is no "
         "pls3_predict); 'score' is not implemented (its symmetric analog, an RV-type test on "
         "‖X'Y‖_F², tests a different estimand); 'e' needs a generative model that symmetric "
         "cross-decomposition does not supply"},
        {x, y, 1, opts(M::split_nb, 0, 1), "invalid_argument", "n_splits must be ≥ 2, got 1"},
        {x, y, 1, opts(M::split_exact, 0, 1), "invalid_argument", "n_splits must be ≥ 2, got 1"},
        {x, y, 1, opts(M::auto_, 0, 2), "invalid_argument", "n_perm must be ≥ 1, got 0"},
        {x.topRows(5), y.topRows(5), 1, opts(M::split_exact, 9, 2), "invalid_argument",
         "n=5 too small for k=1 under split methods (need n ≥ k+5)"},
    };
    for (const Case& c : cases) {
        const auto out = pls3_confirmatory_test(MatView::of(c.x), MatView::of(c.y), c.k, c.o);
        ASSERT_FALSE(out.has_value()) << c.message;
        EXPECT_EQ(out.error().code(), c.code) << c.message;
        EXPECT_NE(out.error().display().find(c.message), std::string::npos) << out.error().display();
    }
    EXPECT_TRUE(pls3_confirmatory_test(MatView::of(x.topRows(6)), MatView::of(y.topRows(6)), 1,
                                       opts(M::split_exact, 9, 2)).has_value());
}

TEST(Pls3SignalTest, OneStatisticOnTheStreamedPrimalAndNspaceRoutes) {
    const Eigen::MatrixXd x = random_block(40, 200, 3), y = related_block(x, 2, 4);
    Pls3ConfirmatoryOpts nb = opts(M::split_nb, 0, 6);
    nb.force = true;
    const ConfirmatoryTestOutput streamed = run(x, y, nb);
    const ConfirmatoryTestOutput nspace = run(x, y, opts(M::split_exact, 19, 6));
    // The primal route on the test's own draws: splits, then permutation seeds.
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(7);
    const auto splits = *draw_splits(40, 1, 6, rng);
    std::vector<std::vector<std::uint64_t>> perms;
    for (const std::uint64_t s : child_seeds(rng, 19)) {
        ChaCha8Rng r = ChaCha8Rng::seed_from_u64(s);
        perms.push_back(shuffled_rows(40, r));
    }
    const auto primal =
        pls3_split_zbars_columns_primal(MatView::of(x), MatView::of(y), splits, perms, {});
    EXPECT_NEAR(nspace.statistic, std::tanh(primal[0]), 1e-12);
    EXPECT_NEAR(streamed.statistic, nspace.statistic, 1e-12);
    std::size_t count = 0;
    for (std::size_t c = 1; c < primal.size(); ++c) count += primal[c] >= primal[0];
    EXPECT_EQ(nspace.pvalue, (count + 1) / 20.0);
    EXPECT_EQ(pls3_split_lv_correlations(MatView::of(x), MatView::of(y), splits, {}).size(), 6u);
}

TEST(Pls3SignalTest, PValuesOnTheLatticeFindASharedFactorAndStayLevelWithout) {
    const auto [xs, ys] = latent(60, 8, 3, 3.0, 10);
    EXPECT_EQ(run(xs, ys, opts(M::split_exact, 99, 5)).pvalue, 0.01);
    Pls3ConfirmatoryOpts nb = opts(M::split_nb, 0, 10);
    nb.force = true;
    EXPECT_LT(run(xs, ys, nb).pvalue, 1e-4);
    double sum = 0.0;
    int small = 0;
    for (unsigned s = 0; s < 30; ++s) {
        const auto [x, y] = latent(40, 6, 2, 0.0, 100 + 3 * s);
        const double p = run(x, y, opts(M::split_exact, 19, 4, s)).pvalue;
        EXPECT_EQ(p * 20.0, std::round(p * 20.0));
        sum += p;
        small += p <= 0.1;
    }
    EXPECT_GT(sum / 30, 0.3);
    EXPECT_LT(sum / 30, 0.7);
    EXPECT_LE(small, 9);
}

TEST(Pls3SignalTest, SameBitsOnAnyThreadCountAndBudget) {
    const Eigen::MatrixXd x = random_block(40, 200, 5), y = related_block(x, 3, 6);
    for (const Pls3ConfirmatoryOpts& o :
         {opts(M::split_nb, 0, 8), opts(M::split_exact, 4, 4), opts(M::split_exact, 300, 3)}) {
        const ConfirmatoryTestOutput base = run(x, y, o);
        const auto one = resample_test::on_one_thread([&] { return run(x, y, o); });
        resample_test::ScopedBudget tiny("1");
        const ConfirmatoryTestOutput small = run(x, y, o);
        for (const auto& other : {one, small}) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(other.pvalue), std::bit_cast<std::uint64_t>(base.pvalue));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(other.statistic), std::bit_cast<std::uint64_t>(base.statistic));
        }
    }
}

TEST(Pls3SignalTest, ResolutionDecidesTheReportedFields) {
    const Eigen::MatrixXd x = random_block(30, 4, 8), y = related_block(x, 2, 9);
    const ConfirmatoryTestOutput rerouted = run(x, y, opts(M::split_nb, 0, 2));
    EXPECT_EQ(rerouted.test_method, "split_exact");
    EXPECT_EQ(rerouted.n_perm, 1000u);
    EXPECT_EQ(rerouted.n_splits, 2u);
    EXPECT_TRUE(rerouted.stable_rank && !rerouted.rho_hat);
    Pls3ConfirmatoryOpts forced = opts(M::split_nb, 0, 3);
    forced.force = true;
    const ConfirmatoryTestOutput nb = run(x, y, forced);
    EXPECT_EQ(nb.test_method, "split_nb");
    EXPECT_TRUE(nb.stable_rank && nb.rho_hat && !nb.n_perm);
    const ConfirmatoryTestOutput auto_small = run(x, y, opts(M::auto_, 9, 2));
    EXPECT_EQ(auto_small.test_method, "split_exact");
    EXPECT_TRUE(!auto_small.stable_rank && auto_small.n_eff == 30.0 && auto_small.seed == 7);
}
