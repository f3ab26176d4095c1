// The PLS1 confirmatory test driver: its checks in order, the method each
// request runs, and what a seed reproduces.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "resample/resample_test_support.hpp"
#include "veltra/resample/confirmatory_test.hpp"
#include "veltra/resample/e_score.hpp"
#include "veltra/resample/signal_test.hpp"
#include "veltra/resample/split_nb.hpp"

using namespace veltra;
using resample_test::on_one_thread;
using resample_test::random_matrix;
using resample_test::signal_response;
using M = ConfirmatoryMethod;

namespace {

struct Data {
    Eigen::MatrixXd x;
    Eigen::VectorXd y;
    Eigen::VectorXd w;
};

Data design(Eigen::Index n, Eigen::Index p, unsigned seed) {
    Data d{random_matrix(n, p, seed), {}, {}};
    d.y = signal_response(d.x, seed + 1, 1.0);
    d.w = random_matrix(n, 1, seed + 2).col(0).array().abs() + 0.5;
    return d;
}

ConfirmatoryOpts opts_of(ConfirmatoryArgs test, std::uint64_t seed = 11) {
    ConfirmatoryOpts o;
    o.test = test;
    o.seed = seed;
    return o;
}

Result<ConfirmatoryTestOutput> run(const Data& d, std::size_t k, const ConfirmatoryOpts& o,
                                   bool weighted = false, bool resolved = false) {
    const std::optional<VecView> w = weighted ? std::optional(VecView::of(d.w)) : std::nullopt;
    return confirmatory_test_impl(MatView::of(d.x), VecView::of(d.y), k, w, o, resolved);
}

std::string message_of(const Result<ConfirmatoryTestOutput>& r) {
    return r ? "success" : std::string(r.error().code()) + ": " + r.error().display();
}

}  // namespace

TEST(ConfirmatoryDriver, ChecksInOrder) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const Data good = design(30, 6, 1);
    Data long_y = good, nan_x = good, nan_y = good, negative_w = good;
    long_y.y.conservativeResize(31);
    long_y.x(0, 0) = nan;  // the length comes first
    nan_x.x(3, 2) = nan;
    nan_y.y[4] = nan;
    negative_w.w[0] = -1.0;
    SubsampleOpts bad_rate;
    bad_rate.m_rate = 2.0;
    SubsampleOpts small_m;
    small_m.m_rate = 0.51;  // ceil(30^0.51) = 6 rows

    struct Case {
        const char* name;
        const Data* d;
        std::size_t k;
        ConfirmatoryArgs test;
        bool weighted = false;
        std::optional<std::size_t> keep = std::nullopt;
        std::optional<SubsampleOpts> ci = std::nullopt;
        bool resolved = false;
        std::string expected;
    };
    const Case cases[] = {
        {"y length", &long_y, 0, {M::raw_perm}, true, 0, bad_rate, false,
         "dimension_mismatch: dimension mismatch: X has shape (30, 6), y has length 31"},
        {"X finite", &nan_x, 0, {M::raw_perm}, false, {}, {}, false,
         "non_finite_input: non-finite values in input"},
        {"y finite", &nan_y, 0, {M::split_nb}, false, {}, {}, false,
         "non_finite_input: non-finite values in input"},
        {"n_folds >= 2", &good, 0, {M::raw_perm, 0, 1}, false, {}, {}, false,
         "invalid_argument: invalid argument: n_folds must be ≥ 2, got 1"},
        {"n_folds < n", &good, 0, {M::raw_perm, 0, 30}, false, {}, {}, false,
         "invalid_argument: invalid argument: n_folds must be < n (got n_folds=30, n=30)"},
        {"raw n_perm", &good, 0, {M::raw_perm, 0, 5}, false, {}, {}, false,
         "invalid_argument: invalid argument: n_perm must be ≥ 1, got 0"},
        {"nb n_splits", &good, 0, {M::split_nb, 9, 9, 1}, false, {}, {}, false,
         "invalid_argument: invalid argument: n_splits must be ≥ 2, got 1"},
        {"exact n_splits", &good, 0, {M::split_exact, 0, 0, 1}, false, {}, {}, false,
         "invalid_argument: invalid argument: n_splits must be ≥ 2, got 1"},
        {"auto n_perm", &good, 0, {M::auto_, 0, 0, 2}, false, {}, {}, false,
         "invalid_argument: invalid argument: n_perm must be ≥ 1, got 0"},
        {"e has no counts", &good, 0, {M::e}, true, 0, bad_rate, false,
         "invalid_argument: invalid argument: k must be >= 1"},
        {"k above p", &good, 7, {M::score}, true, 0, bad_rate, false,
         "k_exceeds_max: k=7 exceeds maximum 6"},
        {"weights", &negative_w, 2, {M::score}, true, 0, bad_rate, false,
         "invalid_weights: invalid weights: negative"},
        {"keep itself", &good, 2, {M::score}, false, 7, bad_rate, false,
         "invalid_argument: invalid argument: keep=7 exceeds n_features=6"},
        {"keep with ci", &good, 2, {M::score}, false, 3, bad_rate, false,
         "invalid_argument: invalid argument: keep does not combine with ci: per-coordinate "
         "subsample CIs under selection are post-selection inference, which veltra does not "
         "implement"},
        {"ci options", &good, 2, {M::score}, false, {}, bad_rate, false,
         "invalid_argument: invalid argument: m_rate must satisfy 0.5 < m_rate < 0.95, got 2"},
        {"ci size", &good, 5, {M::score}, false, {}, small_m, false,
         "invalid_argument: invalid argument: resolved m = 6 (from n=30, m_rate=0.51) is too "
         "small for k=5; need m ≥ k+2"},
        {"auto resolved", &good, 1, {M::auto_, 9, 0, 2}, false, {}, {}, true,
         "internal: internal error: test_method='auto' reached dispatch unresolved"},
    };
    for (const Case& c : cases) {
        ConfirmatoryOpts o = opts_of(c.test);
        o.keep = c.keep;
        o.ci = c.ci;
        EXPECT_EQ(message_of(run(*c.d, c.k, o, c.weighted, c.resolved)), c.expected) << c.name;
    }
}

// Each method runs its own routine with the call's seed and counts, and
// reports the counts that belong to it.
TEST(ConfirmatoryDriver, SixMethodsRunTheirRoutines) {
    const Data d = design(60, 6, 2);
    const MatView x = MatView::of(d.x);
    const VecView y = VecView::of(d.y);
    const auto rng = [] { return ChaCha8Rng::seed_from_u64(11); };
    struct Case {
        ConfirmatoryArgs test;
        const char* ran;
        std::optional<std::uint64_t> n_perm, n_splits;
        double expected_p;
    };
    auto r0 = rng(), r1 = rng(), r2 = rng(), r4 = rng(), r5 = rng();
    const SplitExactRoute route = split_exact_refit_route(60, 6, 19, 2, {}, false);
    const Case cases[] = {
        {{M::raw_perm, 19, 3}, "raw_perm", 19, {},
         run_raw_perm(x, y, 2, 19, 3, {}, {}, r0)->pvalue},
        {{M::split_nb, 0, 0, 8}, "split_nb", {}, 8, run_split_nb(x, y, 2, 8, {}, {}, r1)->pvalue},
        {{M::split_exact, 19, 0, 4}, "split_exact", 19, 4,
         run_split_perm(route, x, y, 2, 19, 4, {}, {}, r2)->pvalue},
        {{M::score}, "score", {}, {}, run_score(x, y, {}, false)->pvalue},
        {{M::e}, "e", {}, {}, run_e(x, y, 2, {}, {}, r4)->pvalue},
        // n_eff = 60 < 250: split_exact without the gate.
        {{M::auto_, 19, 0, 4}, "split_exact", 19, 4,
         run_split_perm(route, x, y, 2, 19, 4, {}, {}, r5)->pvalue},
    };
    for (const Case& c : cases) {
        const auto out = run(d, 2, opts_of(c.test));
        ASSERT_TRUE(out.has_value()) << c.ran << ": " << message_of(out);
        EXPECT_EQ(out->test_method, c.ran);
        EXPECT_EQ(out->pvalue, c.expected_p) << c.ran;
        EXPECT_EQ(out->n_perm, c.n_perm) << c.ran;
        EXPECT_EQ(out->n_splits, c.n_splits) << c.ran;
        // Only split_nb asks the gate here; it does not fire on 60 x 6.
        EXPECT_EQ(out->rho_hat.has_value(), c.test.method == M::split_nb) << c.ran;
        EXPECT_EQ(out->stable_rank.has_value(), c.test.method == M::split_nb) << c.ran;
        EXPECT_EQ(out->k, 2u);
        EXPECT_EQ(out->n_eff, 60.0);
        EXPECT_EQ(out->seed, 11u);
    }
}

TEST(ConfirmatoryDriver, GateReroutesSplitNb) {
    const Data narrow = design(60, 4, 3);  // p < 5: the gate fires
    const Data wide = design(300, 6, 4);   // n_eff >= 250 and a full-rank X: it does not
    struct Case {
        const Data* d;
        ConfirmatoryArgs test;
        const char* ran;
        std::optional<std::uint64_t> n_perm;
    };
    const Case cases[] = {
        {&narrow, {M::split_nb, 0, 0, 6}, "split_exact", 1000},
        {&narrow, {M::split_nb, 0, 0, 6, true}, "split_nb", {}},
        {&wide, {M::auto_, 19, 0, 6}, "split_nb", {}},
    };
    for (const Case& c : cases) {
        const auto out = run(*c.d, 1, opts_of(c.test));
        ASSERT_TRUE(out.has_value()) << message_of(out);
        EXPECT_EQ(out->test_method, c.ran);
        EXPECT_EQ(out->n_perm, c.n_perm);
        EXPECT_EQ(out->n_splits, std::optional<std::uint64_t>(6));
        EXPECT_TRUE(out->stable_rank.has_value());
    }
    // Already resolved: the gate is not asked.
    const auto forced = run(narrow, 1, opts_of({M::split_nb, 0, 0, 6}), false, true);
    EXPECT_EQ(forced->test_method, "split_nb");
    EXPECT_FALSE(forced->stable_rank.has_value());
}

// The intervals draw after the method routine: the same seed gives the same
// test with and without them, on any thread count; a drawn seed is reported
// and reproduces the run.
TEST(ConfirmatoryDriver, SeedReproducesTheRun) {
    const Data d = design(60, 6, 5);
    for (const M method : {M::split_exact, M::raw_perm, M::e}) {
        ConfirmatoryOpts plain = opts_of({method, 19, 3, 4});
        ConfirmatoryOpts with_ci = plain;
        with_ci.ci = SubsampleOpts{};
        with_ci.ci->n_boot = 100;
        const auto a = run(d, 2, plain, true);
        const auto b = on_one_thread([&] { return run(d, 2, with_ci, true); });
        ASSERT_TRUE(a && b) << message_of(a) << message_of(b);
        EXPECT_EQ(a->pvalue, b->pvalue);
        EXPECT_EQ(a->statistic, b->statistic);
        EXPECT_FALSE(a->ci.has_value());
        ASSERT_TRUE(b->ci.has_value());
        EXPECT_EQ(b->ci->n_boot, 100u);
        EXPECT_EQ(b->ci->beta_se.size(), 6);

        plain.seed.reset();
        const auto drawn = run(d, 2, plain, true);
        plain.seed = drawn->seed;
        const auto again = run(d, 2, plain, true);
        EXPECT_EQ(drawn->pvalue, again->pvalue);
        EXPECT_EQ(drawn->statistic, again->statistic);
    }
}
