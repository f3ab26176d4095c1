// The e-value and score tests against independent computations.
#include <gtest/gtest.h>

#include <cmath>

#include "resample/resample_test_support.hpp"
#include "veltra/resample/e_score.hpp"

using namespace veltra;
using namespace veltra::resample;
using resample_test::random_matrix;

TEST(ScoreTest, MatchesNumpyAndScipy) {
    // From tests/data/score_reference.py: n, p, weighted, T, p-value.
    struct Case { Eigen::Index n, p; bool weighted; double t, pvalue; };
    const Case cases[] = {{30, 5, false, 310.1997434396103, 0.13352714272388128},
                          {30, 5, true, 301.17182347781954, 0.14118346702035275},
                          {8, 20, false, 491.5529922210273, 0.049075317615879105}};
    for (const Case& c : cases) {
        Eigen::MatrixXd x(c.n, c.p);
        Eigen::VectorXd y(c.n), w(c.n);
        for (Eigen::Index i = 0; i < c.n; ++i) {
            for (Eigen::Index j = 0; j < c.p; ++j) x(i, j) = std::sin(1.3 * i + 0.7 * double(j * j) + 0.1);
            y[i] = std::cos(0.9 * i) + 0.3 * x(i, 0);
            w[i] = 1 + 0.5 * std::sin(double(i));
        }
        w *= double(c.n) / w.sum();
        const std::optional<VecView> wv = c.weighted ? std::optional(VecView::of(w)) : std::nullopt;
        const auto r = run_score(MatView::of(x), VecView::of(y), wv, false);
        ASSERT_TRUE(r.has_value());
        EXPECT_NEAR(r->statistic, c.t, 1e-10 * c.t);
        EXPECT_NEAR(r->pvalue, c.pvalue, 1e-10);
    }
}

TEST(ScoreTest, DegenerateInputsGivePvalueOne) {
    Eigen::MatrixXd x = Eigen::MatrixXd::Zero(6, 2);
    x.col(0) << 1, -1, 1, -1, 0, 0;
    x.col(1) << 1, 1, -1, -1, 0, 0;
    const Eigen::VectorXd orthogonal = (Eigen::VectorXd(6) << 0, 0, 0, 0, 1, -1).finished();
    const auto zero_t = run_score(MatView::of(x), VecView::of(orthogonal), std::nullopt, true);
    EXPECT_EQ(zero_t->statistic, 0.0);
    EXPECT_EQ(zero_t->pvalue, 1.0);
    const Eigen::MatrixXd constant = Eigen::MatrixXd::Constant(6, 2, 3.0);
    EXPECT_EQ(run_score(MatView::of(constant), VecView::of(orthogonal), std::nullopt, false)->pvalue, 1.0);
}

TEST(ETest, PvalueIsTheCappedReciprocalOfTheEValue) {
    const Eigen::MatrixXd x = random_matrix(40, 5, 31);
    struct Case { double noise; std::size_t k; };
    for (const Case c : {Case{0.2, 1}, Case{0.2, 2}, Case{50.0, 1}}) {
        const Eigen::VectorXd y = resample_test::signal_response(x, 32, c.noise);
        ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(33);
        const auto r = run_e(MatView::of(x), VecView::of(y), c.k, std::nullopt, std::nullopt, rng);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->pvalue, std::min(1.0, 1.0 / std::max(std::exp(r->statistic), 1.0)));
        EXPECT_EQ(c.noise < 1, r->pvalue < 0.05);
        EXPECT_EQ(r->statistic < 0, r->pvalue == 1.0);
    }
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(1);
    const Eigen::VectorXd y = x.col(0);
    const MatView seven_rows{x.data(), 7, 5, 1, 40};
    EXPECT_EQ(run_e(seven_rows, VecView{y.data(), 7, 1}, 3, std::nullopt, std::nullopt, rng).error().code(),
              "invalid_argument");
    EXPECT_TRUE(run_e(seven_rows, VecView{y.data(), 7, 1}, 2, std::nullopt, std::nullopt, rng).has_value());
}
