// The two-block confirmatory test: the split primitives against a
// long-double first pair, the n-space route against the primal one, the
// argument checks in order, one statistic on every route, p-values on the
// permutation lattice that find shared signal and stay level without.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include <tbb/task_arena.h>

#include "engine/pls3_reference.hpp"
#include "resample/resample_test_support.hpp"
#include "veltra/resample/pls3_signal_test.hpp"
#include "veltra/resample/split_nb.hpp"
#include "veltra/resample/splits.hpp"

using namespace veltra;
using namespace veltra::resample;
using namespace pls3_test;
using M = ConfirmatoryMethod;

namespace {

const std::vector<std::size_t> observed{0};

MatView mv(const Eigen::MatrixXd& m) { return MatView::of(m); }

struct Draws {
    std::vector<SplitIdx> splits;
    std::vector<std::vector<std::uint64_t>> perms;
};

// Splits, then permutations from child seeds, as the test draws them.
Draws draws(std::size_t n, std::size_t J, std::size_t B, std::uint64_t seed) {
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
    Draws d{*draw_splits(n, 1, J, rng), {}};
    for (const std::uint64_t s : child_seeds(rng, B)) {
        ChaCha8Rng child = ChaCha8Rng::seed_from_u64(s);
        d.perms.push_back(shuffled_rows(n, child));
    }
    return d;
}

// Test rows standardised with the training rows' moments, times w.
Eigen::VectorXd ref_scores(const Eigen::MatrixXd& m, const SplitIdx& s, const LMat& w) {
    Eigen::Matrix<long double, Eigen::Dynamic, 1> t(to_index(s.test.size()));
    t.setZero();
    const long double n_tr = s.train.size();
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
        long double mean = 0, var = 0;
        for (const auto r : s.train) mean += m(to_index(r), j) / n_tr;
        for (const auto r : s.train) var += std::pow(m(to_index(r), j) - mean, 2) / n_tr;
        for (Eigen::Index i = 0; i < t.size(); ++i)
            t[i] += (m(to_index(s.test[i]), j) - mean) / std::sqrt(var) * w(j, 0);
    }
    return t.cast<double>();
}

// Column 0 of m made to overflow on the split's first test row once
// standardised with its training rows.
Eigen::MatrixXd overflowing(Eigen::MatrixXd m, const SplitIdx& s) {
    for (std::size_t i = 0; i < s.train.size(); ++i) m(to_index(s.train[i]), 0) = (i % 2) * 1e-300;
    m(to_index(s.test[0]), 0) = 1e300;
    return m;
}

Pls3ConfirmatoryOpts opts(M method, std::uint64_t n_perm, std::uint64_t n_splits,
                          std::uint64_t seed = 7, bool force = false) {
    Pls3ConfirmatoryOpts o;
    o.test = {.method = method, .n_perm = n_perm, .n_splits = n_splits, .force = force};
    o.seed = seed;
    return o;
}

ConfirmatoryTestOutput run(const Eigen::MatrixXd& x, const Eigen::MatrixXd& y,
                           const Pls3ConfirmatoryOpts& o) {
    auto out = pls3_confirmatory_test(mv(x), mv(y), 1, o);
    EXPECT_TRUE(out.has_value()) << out.error().display();
    return *out;
}

}  // namespace

TEST(Pls3Split, GuardedCorrelationLetsNanThroughAndFisherZClampsIt) {
    const Eigen::VectorXd a = Eigen::VectorXd::LinSpaced(5, 0, 4), flat = Eigen::VectorXd::Ones(5);
    Eigen::VectorXd nan = a;
    nan[2] = std::nan("");
    EXPECT_EQ(pearson_r_guarded(VecView{}, VecView{}), 0.0);
    EXPECT_EQ(pearson_r_guarded(VecView::of(flat), VecView::of(a)), 0.0);
    EXPECT_TRUE(std::isnan(pearson_r_guarded(VecView::of(nan), VecView::of(a))));
    EXPECT_NEAR(pls3_fisher_z(std::nan("")), std::atanh(-0.9999), 1e-12);
}

TEST(Pls3Split, PrimalZMatchesTheLongDoubleFirstPairAndPermutesYRows) {
    const Eigen::MatrixXd x = random_block(40, 7, 1), y = related_block(x, 3, 2);
    const Draws d = draws(40, 1, 2, 3);
    const SplitIdx& s = d.splits[0];
    const RefSvd ref = reference_svd(standardized(row_subset(mv(x), s.train)),
                                     standardized(row_subset(mv(y), s.train)));
    const Eigen::VectorXd tx = ref_scores(x, s, ref.U), ty = ref_scores(y, s, ref.V);
    const std::vector<std::size_t> cols{0, 2};
    const auto z = pls3_split_columns_z_primal(mv(x), mv(y), s, cols, d.perms, {});
    EXPECT_NEAR(std::tanh(z[0]), guarded_pearson(VecView::of(tx), VecView::of(ty)), 1e-12);
    const Eigen::MatrixXd y2 = row_subset(mv(y), d.perms[1]);
    EXPECT_EQ(z[1], pls3_split_columns_z_primal(mv(x), mv(y2), s, observed, {}, {})[0]);
    const Eigen::MatrixXd y_big = overflowing(y, s);
    EXPECT_EQ(pls3_split_columns_z_primal(mv(x), mv(y_big), s, observed, {}, {})[0], 0.0);
}

TEST(Pls3Split, PrimalZOfWiderBlocksMatchesTheLongDoubleFirstPairOnBothScorePaths) {
    // Blocks wide enough that the first pair comes without a full SVD.
    const Eigen::MatrixXd x = random_block(60, 20, 21), y = related_block(x, 18, 22);
    const Draws d = draws(60, 1, 2, 23);
    const SplitIdx& s = d.splits[0];
    const std::vector<std::size_t> cols{0, 2};
    const auto z = pls3_split_columns_z_primal(mv(x), mv(y), s, cols, d.perms, {});
    const Eigen::MatrixXd y2 = row_subset(mv(y), d.perms[1]);
    for (std::size_t i = 0; i < 2; ++i) {
        const Eigen::MatrixXd& yc = i == 0 ? y : y2;
        const RefSvd ref = reference_svd(standardized(row_subset(mv(x), s.train)),
                                         standardized(row_subset(mv(yc), s.train)));
        const Eigen::VectorXd tx = ref_scores(x, s, ref.U), ty = ref_scores(yc, s, ref.V);
        EXPECT_NEAR(std::tanh(z[i]), guarded_pearson(VecView::of(tx), VecView::of(ty)), 1e-12);
    }
    // The same bits from Y in any layout.
    for (const test_support::Layout layout : test_support::all_layouts) {
        const test_support::Stored stored = test_support::store(y, layout);
        EXPECT_EQ(pls3_split_columns_z_primal(mv(x), stored.view, s, cols, d.perms, {}), z);
    }
    // Beyond 2^500 the standardised test block is formed before scoring; the
    // standardised values, and so the answer, are those of the unscaled Y.
    const Eigen::MatrixXd y_big = std::ldexp(1.0, 600) * y;
    const auto z_big = pls3_split_columns_z_primal(mv(x), mv(y_big), s, cols, d.perms, {});
    for (std::size_t i = 0; i < 2; ++i) EXPECT_NEAR(z_big[i], z[i], 1e-13);
}

TEST(Pls3Split, NspaceRouteAgreesWithThePrimalRouteDenseAndSparse) {
    const Eigen::MatrixXd x = random_block(24, 60, 7), y = related_block(x, 4, 8);
    const Draws d = draws(24, 6, 9, 9);
    const MatView xv = mv(x), yv = mv(y);
    for (const std::optional<std::uint64_t> keep_y : {std::optional<std::uint64_t>{}, {2}}) {
        const Pls3SplitSparse sparse{std::nullopt, keep_y, 100, 1e-8};
        const auto primal = pls3_split_zbars_columns_primal(xv, yv, d.splits, d.perms, sparse);
        const auto nspace = pls3_split_zbars_columns(xv, yv, d.splits, d.perms, sparse);
        ASSERT_EQ(nspace.size(), 10u);
        // The sparse alternations of both routes stop within tol of each other.
        for (std::size_t c = 0; c < 10; ++c)
            EXPECT_NEAR(nspace[c], primal[c], keep_y ? 1e-6 : 1e-12);
    }
    // Non-finite Gram entries leave the split to the primal route, which scores it 0.
    const Eigen::MatrixXd x_big = overflowing(x, d.splits[0]);
    const std::span<const SplitIdx> first(d.splits.data(), 1);
    for (const double z : pls3_split_zbars_columns(mv(x_big), yv, first, d.perms, {}))
        EXPECT_EQ(z, 0.0);
    // Sparse X weights run on the primal route only, and change the answer.
    const Pls3SplitSparse keep_x{3, std::nullopt, 100, 1e-8};
    EXPECT_NE(pls3_split_zbars_columns_primal(xv, yv, d.splits, d.perms, keep_x)[0],
              pls3_split_zbars_columns_primal(xv, yv, d.splits, d.perms, {})[0]);
}

// Besides its X blocks, or its G and K, a split holds every response block
// in flight: the standardised Y halves, G Ys on the n-space route, and on
// the primal route the two copies of Y that the product X'Y makes. Each
// thread that runs a column or cell holds its own, and the estimates that
// size the batches count at least these.
TEST(Pls3Split, EstimatesCountTheResponseBlocksOfEveryColumnInFlight) {
    struct Shape { std::uint64_t n, p, q, columns; };
    const auto threads = static_cast<std::uint64_t>(tbb::this_task_arena::max_concurrency());
    for (const Shape& s : {Shape{20000, 300, 40, 200}, Shape{2000, 5000, 40, 200},
                           Shape{40, 200, 4, 20}}) {
        const std::vector<SplitIdx> splits = draws(s.n, 1, 0, 1).splits;
        const std::uint64_t m = splits[0].train.size(), nt = splits[0].test.size(), q = s.q;
        const std::uint64_t t = std::min(threads, s.columns);
        EXPECT_GE(primal_split_unit_bytes(splits, s.p, q, s.columns),
                  8 * ((m + nt) * s.p + t * (3 * m * q + nt * q))) << s.n;
        EXPECT_GE(streamed_split_unit_bytes(splits, s.p, q), 8 * (m * q + 2 * nt * q + s.p * q));
        const std::uint64_t gram = 8 * (m * m + nt * m);
        EXPECT_GE(nspace_split_unit_bytes(splits, s.p, q, s.columns),
                  std::max(gram + 8 * m * m, gram + t * 8 * (2 * m * q + nt * q))) << s.n;
    }
}

// Cells of the n-space route run one at a time, a few at once or all
// together by the budget, and splits in as many lanes: the bits stay.
TEST(Pls3Split, NspaceRouteGivesTheSameBitsOnOneThreadAndUnderAnyBudget) {
    const Eigen::MatrixXd x = random_block(40, 200, 3), y = related_block(x, 4, 4);
    const Draws d = draws(40, 6, 19, 7);
    for (const std::optional<std::uint64_t> keep_y : {std::optional<std::uint64_t>{}, {2}}) {
        const Pls3SplitSparse sparse{std::nullopt, keep_y, 100, 1e-8};
        const auto all = [&] {
            return pls3_split_zbars_columns(mv(x), mv(y), d.splits, d.perms, sparse);
        };
        const auto many = all();
        EXPECT_EQ(resample_test::on_one_thread(all), many);
        for (const char* budget : {"1", "8M", "16M", "64M"}) {
            resample_test::ScopedBudget scoped(budget);
            EXPECT_EQ(all(), many) << budget;
        }
    }
}

TEST(Pls3Split, RestrictedSweepsOfTheSelectedSupport) {
    const Eigen::MatrixXd m = Eigen::Vector4d(4.0, 1.0, 3.0, 3.0).asDiagonal();
    EXPECT_EQ(restricted_sweeps(m, Eigen::Vector4d(1, 0, 0, 0)), 0.0);
    EXPECT_EQ(restricted_sweeps(m, Eigen::Vector4d(1, 1, 0, 0)), 4.0 / 3.0);
    EXPECT_EQ(restricted_sweeps(m, Eigen::Vector4d(0, 0, 1, 1)), INFINITY);
    EXPECT_EQ(restricted_sweeps(-m, Eigen::Vector4d(1, 1, 1, 1)), INFINITY);
}

TEST(Pls3SignalTest, ArgumentChecksInOrder) {
    const Eigen::MatrixXd x = random_block(30, 6, 1), y = random_block(30, 2, 2), none(30, 0);
    Eigen::MatrixXd x_nan = x, y_nan = y;
    x_nan(3, 1) = y_nan(4, 0) = std::nan("");
    Pls3ConfirmatoryOpts score = opts(M::score, 0, 0), keep_y = score;
    keep_y.sparse.keep_Y = 0;
    const Eigen::MatrixXd x5 = x.topRows(5), y5 = y.topRows(5), y29 = y.topRows(29);
    struct Case {
        const Eigen::MatrixXd &x, &y;
        std::uint64_t k;
        Pls3ConfirmatoryOpts o;
        std::string message;
    };
    const Case cases[] = {
        {x_nan, y29, 0, score, "dimension mismatch: X has shape (30, 6), y has length 29"},
        {x_nan, y_nan, 0, score, "non-finite values in input"},
        {x, none, 0, score, "invalid argument: k must be >= 1"},
        {x, none, 2, score,
         "invalid argument: pls3_confirmatory_test supports k = 1 only (got k=2): above LV1 "
         "neither the component ordering nor the individual directions need survive to the test "
         "half when singular values are close, and whether the statistic is per-component or "
         "subspace-level is undecided"},
        {x, none, 1, keep_y, "k=1 exceeds maximum 0"},
        {x, y, 1, keep_y, "invalid argument: keep_y"},
        {x, y, 1, opts(M::e, 0, 0),
         "invalid argument: pls3_confirmatory_test supports test_method='split_exact', 'split_nb' "
         "or 'auto' (got 'e'): 'raw_perm' needs a CV statistic PLS3 does not have (there is no "
         "pls3_predict); 'score' is not implemented (its symmetric analog, an RV-type test on "
         "‖X'Y‖_F², tests a different estimand); 'e' needs a generative model that symmetric "
         "cross-decomposition does not supply"},
        {x, y, 1, opts(M::split_nb, 0, 1), "invalid argument: n_splits must be ≥ 2, got 1"},
        {x, y, 1, opts(M::auto_, 0, 2), "invalid argument: n_perm must be ≥ 1, got 0"},
        {x5, y5, 1, opts(M::split_exact, 9, 2),
         "invalid argument: n=5 too small for k=1 under split methods (need n ≥ k+5)"},
    };
    for (const Case& c : cases) {
        const auto out = pls3_confirmatory_test(mv(c.x), mv(c.y), c.k, c.o);
        EXPECT_EQ(out ? "success" : out.error().display().substr(0, c.message.size()), c.message);
    }
}

TEST(Pls3SignalTest, OneStatisticOnTheStreamedPrimalAndNspaceRoutes) {
    const Eigen::MatrixXd x = random_block(40, 200, 3), y = related_block(x, 2, 4);
    const ConfirmatoryTestOutput nb = run(x, y, opts(M::split_nb, 0, 6, 7, true));
    const ConfirmatoryTestOutput nspace = run(x, y, opts(M::split_exact, 19, 6));
    // The primal route on the test's own draws: splits, then permutation seeds.
    const Draws d = draws(40, 6, 19, 7);
    const auto primal = pls3_split_zbars_columns_primal(mv(x), mv(y), d.splits, d.perms, {});
    EXPECT_NEAR(nspace.statistic, std::tanh(primal[0]), 1e-12);
    EXPECT_NEAR(nb.statistic, nspace.statistic, 1e-12);
    std::size_t count = 0;
    for (std::size_t c = 1; c < primal.size(); ++c) count += primal[c] >= primal[0];
    EXPECT_EQ(nspace.pvalue, (count + 1) / 20.0);
    // Streamed and primal split_nb correlations; a constant Y leaves every
    // streamed split pending, and the primal route scores it 0.
    const auto streamed = pls3_split_lv_correlations_streamed(mv(x), mv(y), d.splits, {});
    const auto direct = pls3_split_lv_correlations(mv(x), mv(y), d.splits, {});
    for (std::size_t j = 0; j < 6; ++j) EXPECT_NEAR(streamed[j], direct[j], 1e-12);
    const Eigen::MatrixXd flat = Eigen::MatrixXd::Ones(40, 2);
    for (const double r : pls3_split_lv_correlations_streamed(mv(x), mv(flat), d.splits, {}))
        EXPECT_EQ(r, 0.0);
}

TEST(Pls3SignalTest, SameBitsOnOneThreadAndUnderATightBudget) {
    // Primal split_exact ((p + 20 q) m >= 20 p q) and streamed split_nb, with
    // blocks wide enough that the first pairs come without a full SVD.
    const Eigen::MatrixXd x = random_block(60, 20, 31), y = related_block(x, 18, 32);
    const Draws d = draws(60, 4, 19, 7);
    const auto all = [&] {
        return std::tuple{run(x, y, opts(M::split_exact, 19, 4)),
                          run(x, y, opts(M::split_nb, 0, 4, 7, true)),
                          pls3_split_zbars_columns_primal(mv(x), mv(y), d.splits, d.perms, {}),
                          pls3_split_lv_correlations_streamed(mv(x), mv(y), d.splits, {})};
    };
    const auto many = all();
    const auto one = resample_test::on_one_thread(all);
    resample_test::ScopedBudget tiny("1");
    const auto few = all();
    for (const auto* other : {&one, &few}) {
        EXPECT_TRUE(test_support::same_bits(std::get<0>(many).statistic,
                                            std::get<0>(*other).statistic));
        EXPECT_EQ(std::get<0>(many).pvalue, std::get<0>(*other).pvalue);
        EXPECT_TRUE(test_support::same_bits(std::get<1>(many).statistic,
                                            std::get<1>(*other).statistic));
        EXPECT_TRUE(test_support::same_bits(std::get<1>(many).pvalue, std::get<1>(*other).pvalue));
        EXPECT_EQ(std::get<2>(many), std::get<2>(*other));
        EXPECT_EQ(std::get<3>(many), std::get<3>(*other));
    }
}

TEST(Pls3SignalTest, PValuesOnTheLatticeFindSharedSignalAndStayLevelWithout) {
    const Eigen::MatrixXd x = random_block(60, 8, 10);
    const Eigen::MatrixXd y = 4.0 * x.leftCols(3) + random_block(60, 3, 11);
    EXPECT_EQ(run(x, y, opts(M::split_exact, 99, 5)).pvalue, 0.01);
    EXPECT_LT(run(x, y, opts(M::split_nb, 0, 10, 7, true)).pvalue, 0.01);
    double sum = 0.0;
    int small = 0;
    for (unsigned s = 0; s < 30; ++s) {
        const double p = run(random_block(40, 6, 100 + s), random_block(40, 2, 200 + s),
                             opts(M::split_exact, 19, 4, s)).pvalue;
        EXPECT_EQ(p * 20.0, std::round(p * 20.0));
        sum += p;
        small += p <= 0.1;
    }
    EXPECT_GT(sum / 30, 0.3);
    EXPECT_LT(sum / 30, 0.7);
    EXPECT_LE(small, 9);
}

TEST(Pls3SignalTest, ResolutionDecidesTheReportedFields) {
    const Eigen::MatrixXd x = random_block(30, 4, 8), y = related_block(x, 2, 9);
    const ConfirmatoryTestOutput rerouted = run(x, y, opts(M::split_nb, 0, 2));
    EXPECT_EQ(rerouted.test_method, "split_exact");
    EXPECT_TRUE(rerouted.n_perm == 1000u && rerouted.n_splits == 2u && rerouted.stable_rank &&
                !rerouted.rho_hat);
    const ConfirmatoryTestOutput nb = run(x, y, opts(M::split_nb, 0, 3, 7, true));
    EXPECT_TRUE(nb.test_method == "split_nb" && nb.stable_rank && nb.rho_hat && !nb.n_perm);
    const ConfirmatoryTestOutput automatic = run(x, y, opts(M::auto_, 9, 2));
    EXPECT_TRUE(automatic.test_method == "split_exact" && !automatic.stable_rank &&
                automatic.n_eff == 30.0);
}
