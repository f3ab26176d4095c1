// The Nadeau-Bengio test against its direct formula and the split-NB
// test's guarantees.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "resample/resample_test_support.hpp"
#include "veltra/resample/e_score.hpp"
#include "veltra/resample/split_nb.hpp"
#include "veltra/resample/splits.hpp"

using namespace veltra;
using namespace veltra::resample;
using resample_test::random_matrix;

namespace {

std::vector<double> tanh_of(const std::vector<double>& z) {
    std::vector<double> r;
    for (const double v : z) r.push_back(std::tanh(v));
    return r;
}

}  // namespace

TEST(SplitNb, CorrectedTMatchesTheDirectFormula) {
    // Student's t tails in closed form for 1 and 2 degrees of freedom.
    const auto tail = [](double t, double df) {
        return df == 1 ? 0.5 - std::atan(t) / std::numbers::pi : 0.5 - t / (2 * std::sqrt(2 + t * t));
    };
    struct Case { std::vector<double> z; std::size_t n_train, n_test; };
    const Case cases[] = {{{0.3, 0.5}, 50, 50}, {{0.1, 0.4, -0.2}, 30, 20}, {{-0.6, -0.2, -0.5}, 8, 12}};
    for (const Case& c : cases) {
        const double J = static_cast<double>(c.z.size());
        double mean = 0, ss = 0;
        for (const double v : c.z) mean += v / J;
        for (const double v : c.z) ss += (v - mean) * (v - mean);
        const double t = mean / (std::sqrt(1 / J + double(c.n_test) / double(c.n_train)) * std::sqrt(ss / (J - 1)));
        const std::vector<double> r = tanh_of(c.z);
        const NbTest nb = nb_test(r, c.n_train, c.n_test);
        EXPECT_NEAR(nb.t, t, 1e-12 * std::fabs(t));
        EXPECT_EQ(nb.df, J - 1);
        EXPECT_NEAR(nb.p, tail(t, J - 1), 1e-12);
        EXPECT_NEAR(nb.statistic, std::tanh(mean), 1e-14);
        EXPECT_NEAR(*nb_rho_hat(r, 40), std::clamp(1 - 37 * ss / (J - 1), 0.0, 1.0), 1e-12);
    }
    // No spread: the floored denominator; a zero mean gives exactly 0.5.
    EXPECT_LT(nb_test(tanh_of({0.2, 0.2, 0.2}), 10, 10).p, 1e-10);
    EXPECT_GT(nb_test(tanh_of({-0.2, -0.2, -0.2}), 10, 10).p, 1 - 1e-10);
    EXPECT_EQ(nb_test(tanh_of({0, 0, 0}), 10, 10).p, 0.5);
    EXPECT_NEAR(nb_test(std::vector<double>{1.0, 1.0}, 10, 10).statistic, 0.9999, 1e-15);  // clamped before z
    EXPECT_TRUE(std::isnan(nb_test(std::vector<double>{0.5}, 10, 10).p));
    EXPECT_FALSE(nb_rho_hat(tanh_of({0.1, 0.2}), 3).has_value());
    EXPECT_EQ(*nb_rho_hat(tanh_of({0.1, 0.2}), 4), 1 - 0.005);
    EXPECT_EQ(*nb_rho_hat(tanh_of({-2, 2}), 50), 0.0);
}

TEST(SplitNb, UniformWeightsGiveTheUnweightedAnswer) {
    const Eigen::MatrixXd x = random_matrix(40, 6, 5);
    const Eigen::VectorXd y = resample_test::signal_response(x, 6, 2.0);
    const Eigen::VectorXd ones = Eigen::VectorXd::Constant(40, 1.0);
    for (const std::size_t k : {1u, 2u}) {
        const auto run = [&](std::optional<VecView> w) {
            ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(7);
            return *run_split_nb(MatView::of(x), VecView::of(y), k, 25, w, std::nullopt, rng);
        };
        const SplitTestResult base = run(std::nullopt);
        ASSERT_TRUE(base.rho_hat.has_value());
        EXPECT_LT(base.pvalue, 0.01);
        const SplitTestResult uniform = run(VecView::of(ones));
        EXPECT_EQ(uniform.pvalue, base.pvalue);
        EXPECT_EQ(uniform.statistic, base.statistic);
        EXPECT_EQ(uniform.rho_hat, base.rho_hat);
    }
}

TEST(SplitNb, EverySplitFailingIsAnError) {
    const Eigen::MatrixXd x = random_matrix(20, 2, 8);
    const Eigen::VectorXd y = x.col(0);
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(9);
    const auto r = run_split_nb(MatView::of(x), VecView::of(y), 3, 10, std::nullopt, std::nullopt, rng);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code(), "invalid_input");
    // A training half without weight is a failed split, never an unweighted one.
    Eigen::VectorXd w = Eigen::VectorXd::Ones(20);
    ChaCha8Rng split_rng = ChaCha8Rng::seed_from_u64(10);
    const SplitIdx split = one_split(20, 10, split_rng);
    for (const std::uint64_t i : split.train) w[static_cast<Eigen::Index>(i)] = 0.0;
    const SplitR s = split_half_r(MatView::of(x), VecView::of(y), 1, split, VecView::of(w), std::nullopt);
    EXPECT_FALSE(s.fitted);
    EXPECT_EQ(s.r, 0.0);
}

// A test half whose weights are all zero carries no evidence: that split
// scores r = 0 (on the no-refit route at k = 1 and the refit route at k = 2),
// and the e-test, which has one split, refuses it.
TEST(SplitNb, ATestHalfWithoutWeightScoresZero) {
    const Eigen::MatrixXd x = random_matrix(40, 5, 11);
    const Eigen::VectorXd y = resample_test::signal_response(x, 12, 0.5);
    for (const std::size_t k : {1u, 2u}) {
        ChaCha8Rng probe = ChaCha8Rng::seed_from_u64(21), rng = probe;
        const std::vector<SplitIdx> splits = *draw_splits(40, k, 12, probe);
        Eigen::VectorXd w = Eigen::VectorXd::LinSpaced(40, 0.5, 2.0);
        for (const std::uint64_t i : splits[0].test) w[static_cast<Eigen::Index>(i)] = 0.0;
        std::vector<double> r = {0.0};
        for (std::size_t j = 1; j < splits.size(); ++j) {
            const SplitR s = split_half_r(MatView::of(x), VecView::of(y), k, splits[j], VecView::of(w), std::nullopt);
            ASSERT_TRUE(s.fitted);
            r.push_back(s.r);
        }
        const std::size_t m = splits[0].train.size();
        const double expected = nb_test(r, m, 40 - m).p;
        const auto got = run_split_nb(MatView::of(x), VecView::of(y), k, 12, VecView::of(w), std::nullopt, rng);
        EXPECT_NEAR(got.value().pvalue, expected, 1e-12) << k;

        ChaCha8Rng e_rng = ChaCha8Rng::seed_from_u64(22), e_probe = e_rng;
        const SplitIdx one = one_split(40, m, e_probe);
        Eigen::VectorXd w_e = Eigen::VectorXd::Ones(40);
        for (const std::uint64_t i : one.test) w_e[static_cast<Eigen::Index>(i)] = 0.0;
        const auto e = run_e(MatView::of(x), VecView::of(y), k, VecView::of(w_e), std::nullopt, e_rng);
        ASSERT_FALSE(e.has_value());
        EXPECT_EQ(e.error().display(), "invalid weights: insufficient_effective_n");
    }
}
