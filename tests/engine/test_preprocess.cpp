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

TEST(Preprocess, StandardisesWithTheNormalisedWeights) {
    Eigen::MatrixXd x = sample_x(6, 3);
    x.col(1).setConstant(-4);
    const std::vector<double> y = {2, 2, 2, 2, 2, 2}, w = {2, 0, 1, 1, 3, 1};
    const auto r = preprocess(MatView::of(x), view(y), view(w));
    ASSERT_TRUE(r && r->X && r->Y && r->weights_normalized);
    // Column by column against the weighted textbook moments.
    for (Eigen::Index j = 0; j < 3; ++j) {
        long double m = 0, v = 0;
        for (int i = 0; i < 6; ++i) m += w[i] * (long double)x(i, j);
        m /= 8;
        for (int i = 0; i < 6; ++i) v += w[i] * (x(i, j) - m) * (x(i, j) - m);
        const double scale = j == 1 ? 4.0 : double(std::sqrt(v / 8));
        EXPECT_NEAR(r->X->mean[j], double(m), 1e-14);
        EXPECT_NEAR(r->X->scale[j], scale, 1e-13 * scale);
        for (int i = 0; i < 6; ++i)
            EXPECT_NEAR(r->X->x_std(i, j), double((x(i, j) - m) / scale), 1e-12);
    }
    // A constant y: scale max(|mean|, 1), standardised to zeros.
    const auto& y1 = std::get<Standardized1>(*r->Y);
    EXPECT_TRUE(y1.mean == 2.0 && y1.scale == 2.0 && y1.y_std.cwiseAbs().maxCoeff() < 1e-15);
    EXPECT_DOUBLE_EQ(r->weights_normalized->sum(), 6.0);
    EXPECT_DOUBLE_EQ(*r->n_eff, 64.0 / 16.0);
}

TEST(Preprocess, BlockResponseStaysAMatrix) {
    const Eigen::MatrixXd x = sample_x(7, 2);
    const Eigen::MatrixXd y = sample_x(7, 1).array() + 3.0;
    const auto r = preprocess_block(MatView::of(x), MatView::of(y), std::nullopt);
    ASSERT_TRUE(r && r->Y);
    const auto& yb = std::get<Standardized>(*r->Y);
    EXPECT_TRUE(yb.mean.size() == 1 && yb.x_std.cols() == 1 && !r->weights_normalized && !r->n_eff);
    // The same numbers as the vector form.
    const auto v = preprocess(MatView::of(x), VecView{y.data(), 7, 1}, std::nullopt);
    const auto& y1 = std::get<Standardized1>(*v->Y);
    EXPECT_TRUE(yb.mean[0] == y1.mean && yb.scale[0] == y1.scale && yb.x_std.col(0) == y1.y_std);
    const Eigen::MatrixXd y6 = sample_x(6, 2);
    const auto dim = preprocess_block(MatView::of(x), MatView::of(y6), std::nullopt).error();
    EXPECT_EQ(dim.display(), "dimension mismatch: X has shape (7, 2), y has length 6");
    Eigen::MatrixXd bad = y;
    bad(3, 0) = nan_v;
    EXPECT_TRUE(preprocess_block(MatView::of(x), MatView::of(bad), std::nullopt).error().is<VeltraError::NonFiniteInput>());
}

TEST(Preprocess, OppositeSignsNearTheLimit) {
    // Mean M/4 and standard deviation sqrt(11)/4 M: the first value is
    // -5 / sqrt(11) standard deviations out, with or without weights.
    constexpr double M = std::numeric_limits<double>::max();
    const std::vector<double> y = {-M, M, M, 0}, w = {1, 1, 1, 1};
    const Eigen::MatrixXd x = Eigen::Map<const Eigen::MatrixXd>(y.data(), 4, 1);
    const double want[] = {-5 / std::sqrt(11.0), 3 / std::sqrt(11.0), 3 / std::sqrt(11.0),
                           -1 / std::sqrt(11.0)};
    for (const bool weighted : {false, true}) {
        const auto wv = weighted ? std::optional<VecView>(view(w)) : std::nullopt;
        const auto r = preprocess(MatView::of(x), view(y), wv);
        const auto b = preprocess_block(std::nullopt, MatView::of(x), wv);
        ASSERT_TRUE(r && b);
        const auto& y1 = std::get<Standardized1>(*r->Y);
        const auto& yb = std::get<Standardized>(*b->Y);
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(y1.y_std[i], want[i], 1e-15);
            EXPECT_NEAR(yb.x_std(i, 0), want[i], 1e-15);
            EXPECT_NEAR(r->X->x_std(i, 0), want[i], 1e-15);
        }
    }
}
