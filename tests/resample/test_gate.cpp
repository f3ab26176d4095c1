// The split-method gate's firing rules and the choice of `auto`.
#include <gtest/gtest.h>

#include <cmath>

#include "resample/resample_test_support.hpp"
#include "veltra/resample/gate.hpp"

using namespace veltra;
using namespace veltra::resample;
using resample_test::random_matrix;

TEST(Gate, FiringRules) {
    const Eigen::MatrixXd x = random_matrix(40, 6, 41);
    Eigen::MatrixXd proportional(40, 6);
    for (Eigen::Index j = 0; j < 6; ++j) proportional.col(j) = (j + 1.0) * x.col(0);
    const MatView four{x.data(), 40, 4, 1, 40};
    struct Case { MatView x; double n_eff; bool force, fires, reroute; };
    const Case cases[] = {{MatView::of(x), 24.9, false, true, true},
                          {MatView::of(x), 25.0, false, false, false},
                          {MatView::of(x), NAN, false, false, false},
                          {four, 1000, false, true, true},
                          {MatView::of(proportional), 1000, false, true, true},
                          {MatView::of(proportional), 1000, true, true, false}};
    for (const Case& c : cases) {
        const GateVerdict v = resolve_split_nb(c.x, std::nullopt, c.n_eff, c.force);
        EXPECT_EQ(v.fires, c.fires) << c.n_eff << " " << c.x.cols;
        EXPECT_EQ(v.reroute, c.reroute);
    }
    EXPECT_NEAR(resolve_split_nb(MatView::of(proportional), std::nullopt, 40, false).stable_rank, 1.0, 1e-12);
}

TEST(Gate, AutoPicksTheMethodAndReportsTheRankOnlyWhenEvaluated) {
    const Eigen::MatrixXd x = random_matrix(300, 5, 42);
    const MatView four{x.data(), 300, 4, 1, 300};
    const AutoChoice nb = resolve_auto(MatView::of(x), std::nullopt, 250, true);
    EXPECT_EQ(nb.method, ConfirmatoryMethod::split_nb);
    EXPECT_TRUE(nb.stable_rank.has_value());
    for (const AutoChoice c : {resolve_auto(four, std::nullopt, 250, true),
                               resolve_auto(MatView::of(x), std::nullopt, 249.9, true)}) {
        EXPECT_EQ(c.method, ConfirmatoryMethod::split_exact);
        EXPECT_FALSE(c.stable_rank.has_value());
    }
    // Very wide X with k = 1 and no keep skips the gate from p > 100 n on.
    const Eigen::MatrixXd wide = random_matrix(300, 30001, 43);
    const MatView at_limit{wide.data(), 300, 30000, 1, 300};
    EXPECT_FALSE(resolve_auto(MatView::of(wide), std::nullopt, 300, true).stable_rank.has_value());
    EXPECT_TRUE(resolve_auto(MatView::of(wide), std::nullopt, 300, false).stable_rank.has_value());
    EXPECT_EQ(resolve_auto(at_limit, std::nullopt, 300, true).method, ConfirmatoryMethod::split_nb);
}

TEST(Gate, PublicGateRefusesBadInput) {
    Eigen::MatrixXd x = random_matrix(30, 6, 44);
    const Eigen::VectorXd zeros = Eigen::VectorXd::Zero(30);
    const auto no_mass = split_nb_gate(MatView::of(x), VecView::of(zeros));
    ASSERT_FALSE(no_mass.has_value());
    EXPECT_EQ(no_mass.error().as<VeltraError::InvalidWeights>().reason, "all_zero");
    const auto plain = split_nb_gate(MatView::of(x), std::nullopt);
    EXPECT_EQ(plain->n_eff, 30.0);
}
