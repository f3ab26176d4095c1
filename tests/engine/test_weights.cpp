#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "veltra/weights.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;

namespace {

std::string_view reason_of(const VeltraError& e) {
    return e.as<VeltraError::InvalidWeights>().reason;
}

// n_eff from the raw weights, in long double.
double textbook_n_eff(const std::vector<double>& w) {
    long double s = 0, s2 = 0;
    for (double v : w) {
        s += v;
        s2 += (long double)v * v;
    }
    return double(s * s / s2);
}

}  // namespace

TEST(Weights, RejectionReasonsInOrder) {
    const double nan_v = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> neg_first = {-1, nan_v}, nan_first = {nan_v, -1},
                              inf_w = {1, std::numeric_limits<double>::infinity()},
                              zeros = {0, 0, 0}, empty = {};
    auto fit = [](const std::vector<double>& w, std::size_t n) {
        return validate_and_normalize_weights(view(w), n);
    };
    EXPECT_EQ(reason_of(fit(zeros, 4).error()), "length_mismatch");
    // The length is checked before the values.
    EXPECT_EQ(reason_of(fit(nan_first, 3).error()), "length_mismatch");
    EXPECT_EQ(reason_of(fit(neg_first, 2).error()), "negative");
    EXPECT_TRUE(fit(nan_first, 2).error().is<VeltraError::NonFiniteInput>());
    EXPECT_TRUE(fit(inf_w, 2).error().is<VeltraError::NonFiniteInput>());
    EXPECT_EQ(reason_of(fit(zeros, 3).error()), "all_zero");
    EXPECT_EQ(reason_of(fit(empty, 0).error()), "all_zero");
    // Preprocessing's variant: same value checks, no length.
    EXPECT_EQ(reason_of(normalized_weights(view(neg_first)).error()), "negative");
    EXPECT_TRUE(normalized_weights(view(nan_first)).error().is<VeltraError::NonFiniteInput>());
    EXPECT_EQ(reason_of(normalized_weights(view(empty)).error()), "all_zero");
    EXPECT_EQ(reason_of(normalized_weights(view(zeros)).error()), "all_zero");
}

TEST(Weights, UniformWeightsAreDetected) {
    const std::vector<double> threes = {3, 3, 3}, close = {1, 1, 1, 1 + 1e-13},
                              apart = {1, 1, 1, 1.001};
    for (const auto& w : {threes, close}) {
        const auto r = validate_and_normalize_weights(view(w), w.size());
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->weights);  // the fit runs unweighted
        EXPECT_EQ(r->n_eff, double(w.size()));
        const auto p = normalized_weights(view(w));  // preprocessing keeps them
        ASSERT_TRUE(p && *p && (*p)->weights);
        EXPECT_NEAR((*(*p)->weights - Eigen::VectorXd::Ones(w.size())).cwiseAbs().maxCoeff(), 0, 1e-12);
        EXPECT_EQ((*p)->n_eff, double(w.size()));
    }
    EXPECT_EQ(*normalized_weights(view(threes))->value().weights, Eigen::Vector3d(1, 1, 1));
    const auto r = validate_and_normalize_weights(view(apart), 4);
    ASSERT_TRUE(r && r->weights);
    EXPECT_LT(r->n_eff, 4.0);
    EXPECT_DOUBLE_EQ(r->n_eff, textbook_n_eff(apart));
}

TEST(Weights, EffectiveSizeForK) {
    const std::vector<double> half = {0, 0, 2, 2};
    EXPECT_TRUE(validate_weights_for_k(view(half), 4, 1));
    EXPECT_EQ(reason_of(validate_weights_for_k(view(half), 4, 2).error()),
              "insufficient_effective_n");
    EXPECT_FALSE(validate_weights_for_k(std::nullopt, 3, 3));  // its text is in the fit's checks
    EXPECT_TRUE(validate_weights_for_k(std::nullopt, 4, 3));
    // Errors of the validation pass through unchanged.
    EXPECT_EQ(reason_of(validate_weights_for_k(view(half), 5, 1).error()), "length_mismatch");
}

TEST(Weights, SumsThatOverflowOrUnderflow) {
    // Sum and squares overflow; the rescaled weights and n_eff are scale-free.
    const std::vector<double> huge = {1e308, 1e308, 5e307};
    const std::vector<double> tiny = {1e-200, 1e-200, 2e-200};
    const std::vector<std::vector<double>> want = {{1.2, 1.2, 0.6}, {0.75, 0.75, 1.5}};
    const double want_n_eff[] = {6.25 / 2.25, 16.0 / 6.0};
    int k = 0;
    for (const auto& w : {huge, tiny}) {
        const auto r = validate_and_normalize_weights(view(w), 3);
        ASSERT_TRUE(r && r->weights);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR((*r->weights)[i], want[k][i], 1e-15);
        EXPECT_NEAR(r->n_eff, want_n_eff[k], 1e-14);
        const Eigen::VectorXd m = fit_row_scale(view(w));
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(m[i], std::sqrt(want[k][i]), 1e-15);
        ++k;
    }
    const std::vector<double> max_equal = {1.7e308, 1.7e308};
    const auto r = validate_and_normalize_weights(view(max_equal), 2);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->weights);
    EXPECT_EQ(r->n_eff, 2.0);
}

TEST(Weights, RowScale) {
    const std::vector<double> w = {1, 3, 0, 4}, zeros = {0, 0};
    const Eigen::VectorXd m = fit_row_scale(view(w));
    for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(m[i], std::sqrt(w[i] / 2)) << i;
    EXPECT_EQ(failure_of([&] { fit_row_scale(view(zeros)); }), "fit_row_scale: positive weight sum");
}
