// The raw-permutation cross-validation test: the statistic against a plain
// cross-validation written here, every route against the refit, and the
// p-value's guarantees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "resample/resample_test_support.hpp"
#include "veltra/fit.hpp"
#include "veltra/fold_split.hpp"
#include "veltra/predict.hpp"
#include "veltra/resample/signal_test.hpp"

using namespace veltra;
using namespace veltra::resample;
using resample_test::random_matrix;
using Data = resample_test::Design;
using R = RawPermRoute;

namespace {

std::vector<Data> data_sets() { return resample_test::adversarial_designs(36, 10, 3); }

Result<PermTestResult> run(R route, const Data& d, std::size_t k, std::uint64_t seed,
                           std::size_t B = 99, std::size_t K = 4) {
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
    const auto w = d.weights();
    return run_raw_perm_on(route, MatView::of(d.x), VecView::of(d.y), k, B, K, w, {}, rng);
}

// The observed statistic by a cross-validation written from the public fit:
// the same folds, each fold fitted and predicted on the raw scale, its sums
// in units of the training response's standard deviation.
double plain_cv_r2(const Data& d, std::size_t k, std::uint64_t seed, std::size_t K) {
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
    const auto order = shuffled_rows(36, rng);
    long double ss_res = 0, ss_tot = 0;
    for (const auto& test : fold_split(order, K)) {
        std::vector<Eigen::Index> train;
        for (Eigen::Index i = 0; i < 36; ++i)
            if (std::find(test.begin(), test.end(), std::size_t(i)) == test.end())
                train.push_back(i);
        const Eigen::MatrixXd xt = d.x(train, Eigen::all);
        const Eigen::VectorXd yt = d.y(train);
        const auto model = pls1_fit_impl(MatView::of(xt), VecView::of(yt), k, {}, FitOpts{});
        const std::vector<Eigen::Index> rows(test.begin(), test.end());
        const Eigen::MatrixXd xs = d.x(rows, Eigen::all);
        const Eigen::VectorXd pred = *pls1_predict(*model, MatView::of(xs));
        long double mean = 0, tr_mean = 0, tr_var = 0;
        for (const std::size_t i : test) mean += d.y[to_index(i)] / test.size();
        for (const Eigen::Index i : train) tr_mean += d.y[i] / train.size();
        for (const Eigen::Index i : train)
            tr_var += (d.y[i] - tr_mean) * (d.y[i] - tr_mean) / train.size();
        for (std::size_t t = 0; t < test.size(); ++t) {
            const long double yi = d.y[to_index(test[t])];
            ss_res += (pred[to_index(t)] - yi) * (pred[to_index(t)] - yi) / tr_var;
            ss_tot += (yi - mean) * (yi - mean) / tr_var;
        }
    }
    return static_cast<double>(1 - ss_res / ss_tot);
}

}  // namespace

TEST(RawPerm, StatisticIsThePooledOutOfFoldR2) {
    const Data d = data_sets()[0];
    for (const std::size_t k : {1, 2})
        EXPECT_NEAR(run(R::refit, d, k, 11)->statistic, plain_cv_r2(d, k, 11, 4), 1e-10) << k;
}

TEST(RawPerm, EveryRouteGivesTheRefitAnswer) {
    for (const Data& d : data_sets())
        for (const std::size_t k : {1, 2, 3}) {
            if (k >= static_cast<std::size_t>(d.x.cols())) continue;
            const PermTestResult ref = *run(R::refit, d, k, 5);
            std::vector<R> fast{R::gram_p, R::nspace};
            if (k == 1 && !d.w) fast.push_back(R::nspace_cv);
            for (const R route : fast) {
                const PermTestResult got = *run(route, d, k, 5);
                EXPECT_NEAR(got.statistic, ref.statistic, 1e-10) << d.name << " k=" << k;
                EXPECT_EQ(got.pvalue, ref.pvalue) << d.name << " k=" << k;
            }
        }
}

TEST(RawPerm, PValuesSitOnTheLatticeAndReachItsFloor) {
    Data strong = data_sets()[0];
    strong.y = strong.x.col(0) + 0.05 * random_matrix(36, 1, 4).col(0);
    EXPECT_EQ(run(R::gram_p, strong, 2, 1, 199)->pvalue, 1.0 / 200);
    const Eigen::MatrixXd x = random_matrix(30, 5, 40);
    std::vector<double> ps;
    for (unsigned s = 0; s < 200; ++s) {
        const Data null{"null", x, random_matrix(30, 1, 2000 + s).col(0), std::nullopt};
        const double p = run(R::refit, null, 1, s, 99, 3)->pvalue;
        EXPECT_NEAR(p * 100.0, std::round(p * 100.0), 1e-9);
        ps.push_back(p);
    }
    EXPECT_LT(resample_test::lattice_ks(ps, 99), resample_test::ks_bound_1e6(ps.size()));
}

TEST(RawPerm, FailuresAndDegenerateNulls) {
    Data d = data_sets()[0];
    // One-row test folds have no spread: every SS_tot is 0, so R^2 is 0.
    const PermTestResult loo = *run(R::refit, d, 1, 2, 9, 36);
    EXPECT_EQ(loo.statistic, 0.0);
    EXPECT_EQ(loo.pvalue, 1.0);
    // k beyond p fails every column: the null is degenerate.
    const auto all_failed = run(R::refit, data_sets()[2], 5, 2, 9);
    ASSERT_FALSE(all_failed);
    EXPECT_EQ(all_failed.error().as<VeltraError::PermNullDegenerate>().n_failed, 9u);
}

TEST(RawPerm, RouteRule) {
    struct Case { std::uint64_t n, p, B, K, k; bool w; R route; };
    for (const Case& c : {Case{200, 5000, 999, 5, 1, false, R::nspace_cv},
                          Case{200, 5000, 999, 5, 2, false, R::nspace},
                          Case{200, 5000, 999, 5, 2, true, R::refit},
                          Case{2000, 200, 999, 5, 2, false, R::gram_p},
                          Case{2000, 200, 999, 5, 1, true, R::gram_p},
                          Case{2000, 200, 9, 5, 2, false, R::refit},
                          Case{9000, 4001, 999, 5, 2, false, R::refit}})
        EXPECT_EQ(raw_perm_route(c.n, c.p, c.B, c.K, c.k, {}, c.w), c.route) << c.n << " " << c.k;
}
