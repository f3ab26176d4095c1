// The two-block confirmatory test: its argument checks in order, one
// statistic on every route, p-values on the permutation lattice that find
// shared signal and stay level without, and the same bits on any thread
// count and memory budget.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "engine/pls3_reference.hpp"
#include "resample/resample_test_support.hpp"
#include "veltra/resample/pls3_signal_test.hpp"
#include "veltra/resample/split_nb.hpp"

using namespace veltra;
using pls3_test::random_block;
using pls3_test::related_block;
using M = ConfirmatoryMethod;

namespace {

Pls3ConfirmatoryOpts opts(M method, std::uint64_t n_perm, std::uint64_t n_splits, std::uint64_t seed = 7,
                          bool force = false) {
    Pls3ConfirmatoryOpts o;
    o.method = method, o.n_perm = n_perm, o.n_splits = n_splits, o.seed = seed, o.force = force;
    return o;
}

ConfirmatoryTestOutput run(const Eigen::MatrixXd& x, const Eigen::MatrixXd& y, const Pls3ConfirmatoryOpts& o) {
    auto out = pls3_confirmatory_test(MatView::of(x), MatView::of(y), 1, o);
    EXPECT_TRUE(out.has_value()) << out.error().display();
    return *out;
}

}  // namespace

TEST(Pls3SignalTest, ArgumentChecksInOrder) {
    const Eigen::MatrixXd x = random_block(30, 6, 1), y = random_block(30, 2, 2), none(30, 0);
    Eigen::MatrixXd x_nan = x, y_nan = y;
    x_nan(3, 1) = y_nan(4, 0) = std::nan("");
    Pls3ConfirmatoryOpts score = opts(M::score, 0, 0), keep_y = score;
    keep_y.sparse.keep_Y = 0;
    const Eigen::MatrixXd x5 = x.topRows(5), y5 = y.topRows(5), y29 = y.topRows(29);
    struct Case { const Eigen::MatrixXd &x, &y; std::uint64_t k; Pls3ConfirmatoryOpts o; std::string message; };
    const Case cases[] = {
        {x_nan, y29, 0, score, "dimension mismatch: X has shape (30, 6), y has length 29"},
        {x_nan, y_nan, 0, score, "non-finite values in input"},
        {x, y_nan, 0, score, "non-finite values in input"},
        {x, none, 0, score, "invalid argument: k must be >= 1"},
        {x, none, 2, score, "invalid argument: pls3_confirmatory_test supports k = 1 only (got k=2): above LV1 "
         "neither the component ordering nor the individual directions need survive to the test half when "
         "singular values are close, and whether the statistic is per-component or subspace-level is undecided"},
        {x, none, 1, keep_y, "k=1 exceeds maximum 0"},
        {x, y, 1, keep_y, "invalid argument: keep_y"},
        {x, y, 1, opts(M::e, 0, 0), "invalid argument: pls3_confirmatory_test supports test_method='split_exact', "
         "'split_nb' or 'auto' (got 'e'): 'raw_perm' needs a CV statistic PLS3 does not have (there is no "
         "pls3_predict); 'score' is not implemented (its symmetric analog, an RV-type test on ‖X'Y‖_F², tests a "
         "different estimand); 'e' needs a generative model that symmetric cross-decomposition does not supply"},
        {x, y, 1, opts(M::split_nb, 0, 1), "invalid argument: n_splits must be ≥ 2, got 1"},
        {x, y, 1, opts(M::split_exact, 0, 1), "invalid argument: n_splits must be ≥ 2, got 1"},
        {x, y, 1, opts(M::auto_, 0, 2), "invalid argument: n_perm must be ≥ 1, got 0"},
        {x5, y5, 1, opts(M::split_exact, 9, 2), "invalid argument: n=5 too small for k=1 under split methods (need n ≥ k+5)"},
    };
    for (const Case& c : cases) {
        const auto out = pls3_confirmatory_test(MatView::of(c.x), MatView::of(c.y), c.k, c.o);
        ASSERT_FALSE(out.has_value()) << c.message;
        EXPECT_EQ(out.error().display().substr(0, c.message.size()), c.message);
    }
}

TEST(Pls3SignalTest, OneStatisticOnTheStreamedPrimalAndNspaceRoutes) {
    const Eigen::MatrixXd x = random_block(40, 200, 3), y = related_block(x, 2, 4);
    const ConfirmatoryTestOutput nb = run(x, y, opts(M::split_nb, 0, 6, 7, true));
    const ConfirmatoryTestOutput nspace = run(x, y, opts(M::split_exact, 19, 6));
    // The primal route on the test's own draws: splits, then permutation seeds.
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(7);
    const auto splits = *draw_splits(40, 1, 6, rng);
    std::vector<std::vector<std::uint64_t>> perms;
    for (const std::uint64_t s : child_seeds(rng, 19)) {
        ChaCha8Rng r = ChaCha8Rng::seed_from_u64(s);
        perms.push_back(shuffled_rows(40, r));
    }
    const auto primal = pls3_split_zbars_columns_primal(MatView::of(x), MatView::of(y), splits, perms, {});
    EXPECT_NEAR(nspace.statistic, std::tanh(primal[0]), 1e-12);
    EXPECT_NEAR(nb.statistic, nspace.statistic, 1e-12);
    std::size_t count = 0;
    for (std::size_t c = 1; c < primal.size(); ++c) count += primal[c] >= primal[0];
    EXPECT_EQ(nspace.pvalue, (count + 1) / 20.0);
}

TEST(Pls3SignalTest, PValuesOnTheLatticeFindSharedSignalAndStayLevelWithout) {
    const Eigen::MatrixXd x = random_block(60, 8, 10), y = 4.0 * x.leftCols(3) + random_block(60, 3, 11);
    EXPECT_EQ(run(x, y, opts(M::split_exact, 99, 5)).pvalue, 0.01);
    EXPECT_LT(run(x, y, opts(M::split_nb, 0, 10, 7, true)).pvalue, 0.01);
    double sum = 0.0;
    int small = 0;
    for (unsigned s = 0; s < 30; ++s) {
        const double p = run(random_block(40, 6, 100 + s), random_block(40, 2, 200 + s), opts(M::split_exact, 19, 4, s)).pvalue;
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
    auto same = [](double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); };
    // Streamed split_nb, primal split_exact, n-space split_exact.
    for (const auto& o : {opts(M::split_nb, 0, 8), opts(M::split_exact, 4, 4), opts(M::split_exact, 300, 3)}) {
        const ConfirmatoryTestOutput base = run(x, y, o);
        const auto one = resample_test::on_one_thread([&] { return run(x, y, o); });
        resample_test::ScopedBudget tiny("1");
        for (const auto& other : {one, run(x, y, o)})
            EXPECT_TRUE(same(other.pvalue, base.pvalue) && same(other.statistic, base.statistic));
    }
}

TEST(Pls3SignalTest, ResolutionDecidesTheReportedFields) {
    const Eigen::MatrixXd x = random_block(30, 4, 8), y = related_block(x, 2, 9);
    const ConfirmatoryTestOutput rerouted = run(x, y, opts(M::split_nb, 0, 2));
    EXPECT_EQ(rerouted.test_method, "split_exact");
    EXPECT_TRUE(rerouted.n_perm == 1000u && rerouted.n_splits == 2u && rerouted.stable_rank && !rerouted.rho_hat);
    const ConfirmatoryTestOutput nb = run(x, y, opts(M::split_nb, 0, 3, 7, true));
    EXPECT_TRUE(nb.test_method == "split_nb" && nb.stable_rank && nb.rho_hat && !nb.n_perm);
    const ConfirmatoryTestOutput automatic = run(x, y, opts(M::auto_, 9, 2));
    EXPECT_TRUE(automatic.test_method == "split_exact" && !automatic.stable_rank && automatic.n_eff == 30.0);
}
