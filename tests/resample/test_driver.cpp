// The PLS1 confirmatory test driver: its checks in order, the method each
// request runs, and what a seed reproduces.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "resample/resample_test_support.hpp"
#include "veltra/resample/confirmatory_test.hpp"
#include "veltra/resample/e_score.hpp"
#include "veltra/resample/signal_test.hpp"
#include "veltra/resample/split_nb.hpp"

using namespace veltra;
using namespace veltra::resample;
using resample_test::random_matrix;
using M = ConfirmatoryMethod;

namespace {

struct Data {
    Eigen::MatrixXd x;
    Eigen::VectorXd y, w;
    Data(Eigen::Index n, Eigen::Index p, unsigned seed) : x(random_matrix(n, p, seed)) {
        y = resample_test::signal_response(x, seed + 1, 1.0);
        w = random_matrix(n, 1, seed + 2).col(0).array().abs() + 0.5;
    }
};

struct Call {
    std::size_t k = 2;
    ConfirmatoryArgs test;
    std::optional<std::uint64_t> seed = 11;
    bool weighted = false, resolved = false;
    std::optional<std::size_t> keep = {};
    std::optional<SubsampleOpts> ci = {};
    Result<ConfirmatoryTestOutput> on(const Data& d) const {
        const ConfirmatoryOpts o{seed, ci, keep, test, false};
        const auto w = weighted ? std::optional(VecView::of(d.w)) : std::nullopt;
        return confirmatory_test_impl(MatView::of(d.x), VecView::of(d.y), k, w, o, resolved);
    }
};

std::string message_of(const Result<ConfirmatoryTestOutput>& r) {
    return r ? "success" : r.error().display();
}

}  // namespace

TEST(ConfirmatoryDriver, ChecksInOrder) {
    Data good(30, 6, 1), long_y = good, nan_x = good, nan_y = good, negative_w = good;
    long_y.y.conservativeResize(31);
    long_y.x(0, 0) = nan_x.x(3, 2) = nan_y.y[4] = NAN;  // the length comes before finiteness
    negative_w.w[0] = -1.0;
    const SubsampleOpts bad_rate{1000, 2.0}, small_m{1000, 0.51};  // ceil(30^0.51) = 6 rows
    // Each case also breaks every check after its own.
    const std::pair<Call, const Data*> cases[] = {
        {{0, {M::raw_perm}, 1, true, false, 0, bad_rate}, &long_y},
        {{0, {M::raw_perm}}, &nan_x},
        {{0, {M::split_nb}}, &nan_y},
        {{0, {M::raw_perm, 0, 1}}, &good},
        {{0, {M::raw_perm, 0, 30}}, &good},
        {{0, {M::raw_perm, 0, 5}}, &good},
        {{0, {M::split_nb, 9, 9, 1}}, &good},
        {{0, {M::split_exact, 0, 0, 1}}, &good},
        {{0, {M::auto_, 0, 0, 2}}, &good},
        {{0, {M::e}, 1, true, false, 0, bad_rate}, &good},
        {{7, {M::score}, 1, true, false, 0, bad_rate}, &negative_w},
        {{2, {M::score}, 1, true, false, 0, bad_rate}, &negative_w},
        {{2, {M::score}, 1, false, false, 7, bad_rate}, &good},
        {{2, {M::score}, 1, false, false, 3, bad_rate}, &good},
        {{2, {M::score}, 1, false, false, {}, bad_rate}, &good},
        {{5, {M::score}, 1, false, false, {}, small_m}, &good},
        {{1, {M::auto_, 9, 0, 2}, 1, false, true}, &good},
    };
    const char* expected[] = {
        "dimension mismatch: X has shape (30, 6), y has length 31",
        "non-finite values in input",
        "non-finite values in input",
        "invalid argument: n_folds must be ≥ 2, got 1",
        "invalid argument: n_folds must be < n (got n_folds=30, n=30)",
        "invalid argument: n_perm must be ≥ 1, got 0",
        "invalid argument: n_splits must be ≥ 2, got 1",
        "invalid argument: n_splits must be ≥ 2, got 1",
        "invalid argument: n_perm must be ≥ 1, got 0",
        "invalid argument: k must be >= 1",  // e has no counts
        "k=7 exceeds maximum 6",
        "invalid weights: negative",
        "invalid argument: keep=7 exceeds n_features=6",
        "invalid argument: keep does not combine with ci: per-coordinate subsample CIs under "
        "selection are post-selection inference, which veltra does not implement",
        "invalid argument: m_rate must satisfy 0.5 < m_rate < 0.95, got 2",
        "invalid argument: resolved m = 6 (from n=30, m_rate=0.51) is too small for k=5; need m "
        "≥ k+2",
        "internal error: test_method='auto' reached dispatch unresolved",
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(message_of(cases[i].first.on(*cases[i].second)), expected[i]) << i;
}

// Each method runs its own routine on the call's seed and counts; a refused
// split_nb runs split_exact with 1000 permutations.
TEST(ConfirmatoryDriver, MethodsAndRerouting) {
    // The gate fires on narrow (p < 5), not on big.
    const Data d(60, 6, 2), narrow(60, 4, 3), big(300, 6, 4);
    const MatView x = MatView::of(d.x);
    const VecView y = VecView::of(d.y);
    ChaCha8Rng r[] = {ChaCha8Rng::seed_from_u64(11), ChaCha8Rng::seed_from_u64(11),
                      ChaCha8Rng::seed_from_u64(11), ChaCha8Rng::seed_from_u64(11)};
    const SplitExactRoute route = split_exact_refit_route(60, 6, 19, 2, {}, false);
    const double exact_p = run_split_perm(route, x, y, 2, 19, 4, {}, {}, r[2])->pvalue;
    struct Case {
        const Data* d;
        std::size_t k;
        ConfirmatoryArgs test;
        const char* ran;
        std::optional<std::uint64_t> n_perm, n_splits;
        bool gate;
        double p = NAN;
    };
    const Case cases[] = {
        {&d, 2, {M::raw_perm, 19, 3}, "raw_perm", 19, {}, false,
         run_raw_perm(x, y, 2, 19, 3, {}, {}, r[0])->pvalue},
        {&d, 2, {M::split_nb, 0, 0, 8}, "split_nb", {}, 8, true,
         run_split_nb(x, y, 2, 8, {}, {}, r[1])->pvalue},
        {&d, 2, {M::split_exact, 19, 0, 4}, "split_exact", 19, 4, false, exact_p},
        {&d, 2, {M::score}, "score", {}, {}, false, run_score(x, y, {}, false)->pvalue},
        {&d, 2, {M::e}, "e", {}, {}, false, run_e(x, y, 2, {}, {}, r[3])->pvalue},
        {&d, 2, {M::auto_, 19, 0, 4}, "split_exact", 19, 4, false, exact_p},  // n_eff < 250
        {&big, 1, {M::auto_, 19, 0, 6}, "split_nb", {}, 6, true},
        {&narrow, 1, {M::split_nb, 0, 0, 6}, "split_exact", 1000, 6, true},
        {&narrow, 1, {M::split_nb, 0, 0, 6, true}, "split_nb", {}, 6, true},
    };
    for (const Case& c : cases) {
        const auto out = Call{c.k, c.test}.on(*c.d);
        ASSERT_TRUE(out.has_value()) << c.ran << ": " << message_of(out);
        EXPECT_EQ(out->test_method, c.ran);
        EXPECT_TRUE(std::isnan(c.p) || out->pvalue == c.p) << c.ran;
        EXPECT_EQ(std::tuple(out->n_perm, out->n_splits, out->stable_rank.has_value()),
                  std::tuple(c.n_perm, c.n_splits, c.gate)) << c.ran;
        EXPECT_EQ(out->rho_hat.has_value(), out->test_method == "split_nb");
        EXPECT_EQ(std::tuple(out->k, out->seed, out->n_eff),
                  std::tuple(c.k, 11u, 1.0 * c.d->x.rows()));
    }
    // Already resolved: the gate is not asked.
    const auto as_given = Call{1, {M::split_nb, 0, 0, 6}, 11, false, true}.on(narrow);
    EXPECT_EQ(std::pair(as_given->test_method, as_given->stable_rank.has_value()),
              std::pair(std::string("split_nb"), false));
}

// The intervals draw after the method routine: a seed gives the same test
// with and without them, on any thread count; a drawn seed is reported and
// reproduces the run.
TEST(ConfirmatoryDriver, SeedReproducesTheRun) {
    const Data d(60, 6, 5);
    for (const M method : {M::split_exact, M::raw_perm, M::e}) {
        Call plain{2, {method, 19, 3, 4}, 11, true}, with_ci = plain, drawn = plain;
        with_ci.ci = SubsampleOpts{100};
        drawn.seed.reset();
        const auto a = plain.on(d), first = drawn.on(d);
        const auto b = resample_test::on_one_thread([&] { return with_ci.on(d); });
        ASSERT_TRUE(a && b && first) << message_of(b);
        EXPECT_EQ(std::pair(a->pvalue, a->statistic), std::pair(b->pvalue, b->statistic));
        EXPECT_EQ(std::pair(a->ci.has_value(), b->ci->beta_se.size()), std::pair(false, 6L));
        drawn.seed = first->seed;
        const auto again = drawn.on(d);
        EXPECT_EQ(std::pair(first->pvalue, first->statistic),
                  std::pair(again->pvalue, again->statistic));
    }
}
