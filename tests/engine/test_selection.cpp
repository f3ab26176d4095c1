#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "veltra/selection.hpp"

using namespace veltra;

namespace {
Eigen::VectorXd vec(std::initializer_list<double> xs) {
    Eigen::VectorXd v(static_cast<Eigen::Index>(xs.size()));
    Eigen::Index i = 0;
    for (double x : xs) v[i++] = x;
    return v;
}
}  // namespace

TEST(SelectAndNormalize, KeepsTheLargestMagnitudesLowerIndexOnTies) {
    auto w = vec({1.0, -3.0, 3.0, 2.0, -0.5});
    ASSERT_TRUE(select_and_normalize(w, 1, 1e-14));
    EXPECT_EQ(w, vec({0, -1, 0, 0, 0}));

    // A NaN ranks above infinity.
    w = vec({std::numeric_limits<double>::infinity(), 1.0, NAN});
    select_and_normalize(w, 1, 1e-14);
    EXPECT_EQ(w[0], 0.0);
    EXPECT_EQ(w[1], 0.0);
}

TEST(SelectAndNormalize, NormAtTheFloorIsAcceptedBelowRefused) {
    auto at = vec({0.0, 0.5});
    EXPECT_TRUE(select_and_normalize(at, std::nullopt, 0.5));
    EXPECT_EQ(at[1], 1.0);
    auto below = vec({0.0, 0.5});
    EXPECT_FALSE(select_and_normalize(below, std::nullopt, std::nextafter(0.5, 1.0)));
    EXPECT_EQ(below[1], 0.5);  // left unnormalised
    auto zero = vec({0.0, 0.0});
    EXPECT_FALSE(select_and_normalize(zero, std::nullopt, 1e-14));
}

TEST(SelectedNormAndGap, NormOfTheKeptEntriesAndTheMargin) {
    const auto c = vec({1.0, -4.0, 2.0, -2.0, 0.5});
    const auto all = selected_norm_and_gap(c, std::nullopt);
    EXPECT_DOUBLE_EQ(all.sigma, std::sqrt(1 + 16 + 4 + 4 + 0.25));
    EXPECT_TRUE(std::isinf(all.gap));
    EXPECT_TRUE(std::isinf(selected_norm_and_gap(c, 5).gap));

    const auto two = selected_norm_and_gap(c, 2);  // tie at 2: the gap is zero
    EXPECT_DOUBLE_EQ(two.sigma, std::sqrt(16 + 4.0));
    EXPECT_EQ(two.gap, 0.0);
    const auto four = selected_norm_and_gap(c, 4);  // keep = p - 1: smallest kept - the one dropped
    EXPECT_DOUBLE_EQ(four.sigma, std::sqrt(16 + 4 + 4 + 1.0));
    EXPECT_EQ(four.gap, 0.5);
}
