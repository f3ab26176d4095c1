#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "veltra/preprocess.hpp"
#include "test_support.hpp"

using namespace veltra;
using test_support::view;

namespace {

constexpr double nan_v = std::numeric_limits<double>::quiet_NaN();

Eigen::MatrixXd sample_x(Eigen::Index n, Eigen::Index p) {
    Eigen::MatrixXd x(n, p);
    for (Eigen::Index j = 0; j < p; ++j)
        for (Eigen::Index i = 0; i < n; ++i) x(i, j) = std::sin(1.0 + i * (j + 1)) * (j + 1);
    return x;
}

}  // namespace

TEST(Preprocess, ChecksRunInOrder) {
    const Eigen::MatrixXd x = sample_x(5, 3);
    const std::vector<double> y4 = {1, 2, 3, 4}, y5 = {1, 2, 3, 4, 5}, w4 = {1, 1, 1, 1},
                              w5nan = {1, nan_v, 1, 1, 1}, w5neg = {1, -1, 1, 1, 1};
    const MatView xv = MatView::of(x);
    // Rows differ: reported before the weights are looked at.
    const auto dim = preprocess(xv, view(y4), view(w4)).error();
    ASSERT_TRUE(dim.is<VeltraError::DimensionMismatch>());
    EXPECT_EQ(dim.display(), "dimension mismatch: X has shape (5, 3), y has length 4");
    // Weight length before any finiteness check.
    Eigen::MatrixXd bad_x = x;
    bad_x(2, 1) = nan_v;
    const auto len = preprocess(MatView::of(bad_x), view(y5), view(w4)).error();
    EXPECT_EQ(len.as<VeltraError::InvalidWeights>().reason, "length_mismatch");
    EXPECT_EQ(preprocess(std::nullopt, view(y5), view(w4)).error().as<VeltraError::InvalidWeights>().reason,
              "length_mismatch");
    EXPECT_TRUE(preprocess(MatView::of(bad_x), view(y5), view(w5neg)).error().is<VeltraError::NonFiniteInput>());
    std::vector<double> bad_y = y5;
    bad_y[4] = -std::numeric_limits<double>::infinity();
    EXPECT_TRUE(preprocess(xv, view(bad_y), view(w5neg)).error().is<VeltraError::NonFiniteInput>());
    // Weight values only after X and y passed.
    EXPECT_TRUE(preprocess(xv, view(y5), view(w5nan)).error().is<VeltraError::NonFiniteInput>());
    EXPECT_EQ(preprocess(xv, view(y5), view(w5neg)).error().as<VeltraError::InvalidWeights>().reason,
              "negative");
    const std::vector<double> zeros = {0, 0, 0, 0, 0};
    EXPECT_EQ(preprocess(xv, std::nullopt, view(zeros)).error().as<VeltraError::InvalidWeights>().reason,
              "all_zero");
}

TEST(Preprocess, NoRows) {
    const Eigen::MatrixXd x(0, 3);
    const std::vector<double> empty;
    const char* msg = "invalid argument: insufficient n: need n >= 1 (got n=0)";
    EXPECT_EQ(preprocess(MatView::of(x), std::nullopt, std::nullopt).error().display(), msg);
    EXPECT_EQ(preprocess(std::nullopt, view(empty), std::nullopt).error().display(), msg);
    EXPECT_EQ(preprocess_block(std::nullopt, MatView::of(x), view(empty)).error().display(), msg);
    // Weights alone get no length or n check.
    EXPECT_EQ(preprocess(std::nullopt, std::nullopt, view(empty)).error().as<VeltraError::InvalidWeights>().reason,
              "all_zero");
}

TEST(Preprocess, BlockResponseChecks) {
    const Eigen::MatrixXd x = sample_x(7, 2);
    const Eigen::MatrixXd y = sample_x(7, 1).array() + 3.0;
    const Eigen::MatrixXd y6 = sample_x(6, 2);
    const auto dim = preprocess_block(MatView::of(x), MatView::of(y6), std::nullopt).error();
    EXPECT_EQ(dim.display(), "dimension mismatch: X has shape (7, 2), y has length 6");
    Eigen::MatrixXd bad = y;
    bad(3, 0) = nan_v;
    EXPECT_TRUE(preprocess_block(MatView::of(x), MatView::of(bad), std::nullopt).error().is<VeltraError::NonFiniteInput>());
}
