#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "pls3_reference.hpp"
#include "veltra/pls3.hpp"

using namespace veltra;
using namespace pls3_test;

namespace {

Pls3Model fitted(const Eigen::MatrixXd& x, const Eigen::MatrixXd& y, std::uint64_t k) {
    auto m = pls3_fit(view(x), view(y), k, std::nullopt, {});
    internal_check(m.has_value(), "test fit failed");
    return std::move(*m);
}

}  // namespace

TEST(Pls3Transform, ReproducesTheTrainingScores) {
    const Eigen::MatrixXd x = random_block(40, 6, 41), y = related_block(x, 4, 42);
    const Pls3Model m = fitted(x, y, 3);
    auto s = pls3_transform(m, view(x), view(y), Pls3Which::both);
    ASSERT_TRUE(s && s->x_scores && s->y_scores);
    // The fit's X side is implicit here: the same numbers up to rounding.
    EXPECT_LT((*s->x_scores - m.x_scores).cwiseAbs().maxCoeff(), 1e-12);
    EXPECT_TRUE(same_bits(*s->y_scores, m.y_scores));

    // Explicit preparation: the same standardised X, the same bits.
    Eigen::MatrixXd shifted = x;
    shifted.col(1).array() += 1e6;
    const Pls3Model me = fitted(shifted, y, 3);
    auto se = pls3_transform(me, view(shifted), std::nullopt, Pls3Which::x_scores);
    ASSERT_TRUE(se);
    EXPECT_TRUE(same_bits(*se->x_scores, me.x_scores) && !se->y_scores);
}

TEST(Pls3Transform, ShapesAndEdgeCases) {
    const Eigen::MatrixXd x = random_block(20, 4, 44), y = related_block(x, 3, 45);
    const Pls3Model m = fitted(x, y, 2);

    // Y_new is not read when only X scores are asked for.
    Eigen::MatrixXd y_bad(5, 7);
    y_bad.setConstant(std::numeric_limits<double>::quiet_NaN());
    auto xs = pls3_transform(m, view(x.topRows(5).eval()), view(y_bad), Pls3Which::x_scores);
    ASSERT_TRUE(xs);
    EXPECT_TRUE(!xs->y_scores && xs->x_scores->rows() == 5);

    const Eigen::MatrixXd x0(0, 4);
    auto empty = pls3_transform(m, view(x0), std::nullopt, Pls3Which::x_scores);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->x_scores->rows() == 0 && empty->x_scores->cols() == 2);

    // No components: score matrices without columns.
    Pls3Model none = m;
    none.U.resize(4, 0);
    none.V.resize(3, 0);
    none.k_used = 0;
    auto s0 = pls3_transform(none, view(x), view(y), Pls3Which::both);
    ASSERT_TRUE(s0);
    EXPECT_TRUE(s0->x_scores->rows() == 20 && s0->x_scores->cols() == 0 && s0->y_scores->cols() == 0);
}

TEST(Pls3Transform, ChecksInOrder) {
    const Eigen::MatrixXd x = random_block(20, 4, 46), y = related_block(x, 3, 47);
    const Pls3Model m = fitted(x, y, 2);
    Eigen::MatrixXd x_nan = x;
    x_nan(2, 2) = std::numeric_limits<double>::infinity();
    const Eigen::MatrixXd x5 = random_block(6, 5, 48), y2 = random_block(6, 2, 49);
    Pls3Model wrong_k = m;
    wrong_k.k_used = 3;
    Pls3Model wrong_mean = m;
    wrong_mean.X_mean.resize(3);
    wrong_mean.Y_scale.resize(5);

    Eigen::MatrixXd y_nan = y;
    y_nan(0, 1) = std::numeric_limits<double>::quiet_NaN();
    using W = Pls3Which;
    struct Case {
        const Pls3Model& m;
        const Eigen::MatrixXd *x, *y;
        Pls3Which which;
        const char* message;  // "non_finite_input" for that code
    };
    const Case cases[] = {
        {m, nullptr, &y, W::x_scores, "which='x_scores' requires x_new, which was not supplied"},
        {m, nullptr, nullptr, W::both, "which='both' requires x_new, which was not supplied"},
        {m, nullptr, nullptr, W::y_scores, "which='y_scores' requires y_new, which was not supplied"},
        {wrong_k, &x5, &y, W::x_scores, "x_new has 5 columns, model was fit on 4"},
        {wrong_k, &x_nan, &y, W::x_scores, "model u_saliences has 2 columns, k_used is 3"},
        {wrong_mean, &x_nan, &y, W::x_scores, "model x_mean/x_scale have lengths 3/4, expected 4"},
        {m, &x_nan, &y, W::x_scores, "non_finite_input"},
        {m, &x, &y2, W::both, "y_new has 2 columns, model was fit on 3"},
        {wrong_k, nullptr, &y_nan, W::y_scores, "model v_saliences has 2 columns, k_used is 3"},
        {wrong_mean, nullptr, &y_nan, W::y_scores, "model y_mean/y_scale have lengths 3/5, expected 3"},
        {m, &x, &y_nan, W::both, "non_finite_input"},
        {m, &x_nan, &y2, W::both, "non_finite_input"},  // the X side before the Y side
    };
    for (const Case& c : cases) {
        const auto opt = [](const Eigen::MatrixXd* v) {
            return v ? std::optional<MatView>(view(*v)) : std::nullopt;
        };
        const auto r = pls3_transform(c.m, opt(c.x), opt(c.y), c.which);
        ASSERT_FALSE(r) << c.message;
        EXPECT_EQ(r.error().code() == "non_finite_input" ? "non_finite_input" : message_of(r),
                  c.message);
    }
}
