#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "pls3_reference.hpp"
#include "veltra/pls3.hpp"

using namespace veltra;
using namespace pls3_test;

namespace {

long nonzeros(const Eigen::VectorXd& v) { return (v.array() != 0.0).count(); }

// Keeps the `keep` largest magnitudes of c and scales to unit length, in
// long double: the selection step written from its definition.
LMat select_unit(const LMat& c, Eigen::Index keep) {
    std::vector<Eigen::Index> order(static_cast<std::size_t>(c.rows()));
    for (Eigen::Index i = 0; i < c.rows(); ++i) order[static_cast<std::size_t>(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](Eigen::Index a, Eigen::Index b) {
        return std::fabs(c(a, 0)) > std::fabs(c(b, 0));
    });
    LMat out = LMat::Zero(c.rows(), 1);
    for (Eigen::Index r = 0; r < keep; ++r) {
        const Eigen::Index i = order[static_cast<std::size_t>(r)];
        out(i, 0) = c(i, 0);
    }
    return out / std::sqrt(out.squaredNorm());
}

}  // namespace

TEST(Spls3Fit, KeepsTheLargestEntriesAtAFixedPoint) {
    const Eigen::MatrixXd x = random_block(80, 12, 21);
    const Eigen::MatrixXd y = related_block(x, 8, 22);
    Pls3FitOpts opts;
    opts.tol = 1e-13;
    opts.max_iter = 500;
    auto m = spls3_fit(view(x), view(y), 3, 4, 3, std::nullopt, opts);
    ASSERT_TRUE(m) << m.error().display();
    ASSERT_TRUE(m->k_used == 3 && m->keep_X == 4u && m->keep_Y == 3u && m->converged && m->n_iter &&
                m->converged->size() == 3);

    // Each component is a fixed point of the alternation on the C deflated
    // by the components before it, and its value is u'Cv there.
    const LMat zx = standardized(x), zy = standardized(y);
    LMat c = zx.transpose() * zy;
    for (Eigen::Index a = 0; a < 3; ++a) {
        const Eigen::VectorXd u = m->U.col(a), v = m->V.col(a);
        EXPECT_TRUE(nonzeros(u) == 4 && nonzeros(v) == 3 && std::fabs(u.norm() - 1) < 1e-14 &&
                    std::fabs(v.norm() - 1) < 1e-14 && (*m->converged)[std::size_t(a)] &&
                    (*m->n_iter)[std::size_t(a)] >= 1);
        const LMat ul = u.cast<long double>(), vl = v.cast<long double>();
        const long double d = (ul.transpose() * c * vl)(0, 0);
        // Sign pinning flips u and v together, which keeps both relations.
        EXPECT_GT(d, 0);
        EXPECT_NEAR(m->singular_values[a], double(d), 1e-11 * double(d));
        EXPECT_LT(max_abs_diff(u, select_unit(c * vl, 4)), 1e-9);
        EXPECT_LT(max_abs_diff(v, select_unit(c.transpose() * ul, 3)), 1e-9);
        c -= d * ul * vl.transpose();
        Eigen::Index top = 0;
        u.cwiseAbs().maxCoeff(&top);
        EXPECT_GT(u[top], 0.0);
    }
    // Scores come from the undeflated standardised blocks.
    EXPECT_LT(max_abs_diff(m->x_scores, zx * m->U.cast<long double>()), 1e-11);
    EXPECT_LT(max_abs_diff(m->y_scores, zy * m->V.cast<long double>()), 1e-11);
}

TEST(Spls3Fit, FullKeepCountsAreTheDenseFit) {
    const Eigen::MatrixXd x = random_block(50, 6, 23);
    const Eigen::MatrixXd y = related_block(x, 4, 24);
    Pls3FitOpts opts;
    opts.max_iter = 0;  // not checked without selection
    opts.tol = -1;
    auto dense = pls3_fit(view(x), view(y), 3, std::nullopt, opts);
    auto full = spls3_fit(view(x), view(y), 3, 6, 4, std::nullopt, opts);
    ASSERT_TRUE(dense && full);
    EXPECT_TRUE(same_bits(dense->U, full->U) && same_bits(dense->V, full->V) &&
                same_bits(dense->singular_values, full->singular_values) &&
                same_bits(dense->x_scores, full->x_scores) && same_bits(dense->y_scores, full->y_scores));
    EXPECT_TRUE(full->keep_X == 6u && full->keep_Y == 4u);
    EXPECT_TRUE(full->converged == std::vector<bool>(3, true) && full->n_iter == std::vector<std::uint64_t>(3, 0));

    // keep_X = p with keep_Y < q runs the sparse route.
    auto half = spls3_fit(view(x), view(y), 2, 6, 2, std::nullopt, {});
    ASSERT_TRUE(half);
    EXPECT_TRUE(nonzeros(half->U.col(0)) == 6 && nonzeros(half->V.col(0)) == 2);
}

TEST(Spls3Fit, ConvergenceIsReported) {
    // X = I and Y = C make X'Y = C; with a diagonal C the start vector is
    // already the fixed point.
    const Eigen::MatrixXd eye = Eigen::MatrixXd::Identity(4, 4);
    const Eigen::MatrixXd c = Eigen::Vector4d(5, 3, 2, 1).asDiagonal();
    Pls3FitOpts opts;
    opts.pre_standardized_X = opts.pre_standardized_Y = true;
    auto m = spls3_fit(view(eye), view(c), 2, 2, 2, std::nullopt, opts);
    ASSERT_TRUE(m && m->k_used == 2);
    EXPECT_TRUE(m->n_iter == std::vector<std::uint64_t>(2, 1) && m->converged == std::vector<bool>(2, true) &&
                m->singular_values == Eigen::Vector2d(5, 3));

    // tol = 0 is never met: every component runs max_iter rounds.
    const Eigen::MatrixXd x = random_block(40, 7, 25), y = related_block(x, 5, 26);
    opts = {};
    opts.max_iter = 3;
    opts.tol = 0.0;
    auto capped = spls3_fit(view(x), view(y), 3, 3, 3, std::nullopt, opts);
    ASSERT_TRUE(capped && capped->k_used == 3);
    EXPECT_TRUE(capped->n_iter == std::vector<std::uint64_t>(3, 3) &&
                capped->converged == std::vector<bool>(3, false));
}

TEST(Spls3Fit, SingleEntriesAndExhaustedCrossCovariance) {
    const Eigen::MatrixXd x = random_block(30, 5, 27), y = related_block(x, 4, 28);
    auto m = spls3_fit(view(x), view(y), 4, 1, 1, std::nullopt, {});
    ASSERT_TRUE(m && m->k_used >= 1);
    for (Eigen::Index a = 0; a < static_cast<Eigen::Index>(m->k_used); ++a) {
        EXPECT_TRUE(nonzeros(m->U.col(a)) == 1 && nonzeros(m->V.col(a)) == 1);
        // c * (1/|c|): one within an ulp of 1.
        EXPECT_DOUBLE_EQ(m->U.col(a).maxCoeff(), 1.0);
        EXPECT_DOUBLE_EQ(m->V.col(a).cwiseAbs().maxCoeff(), 1.0);
    }

    // A rank-one C with a zero row: the first component removes it all,
    // and no second component can be formed.
    const Eigen::MatrixXd eye = Eigen::MatrixXd::Identity(3, 3);
    const Eigen::MatrixXd c = Eigen::Vector3d(2, 0, 1) * Eigen::RowVector3d(1, -1, 3);
    Pls3FitOpts opts;
    opts.pre_standardized_X = opts.pre_standardized_Y = true;
    auto r1 = spls3_fit(view(eye), view(c), 3, 2, 3, std::nullopt, opts);
    ASSERT_TRUE(r1 && r1->k_used == 1);
    EXPECT_NEAR(r1->singular_values[0], std::sqrt(5.0) * std::sqrt(11.0), 1e-13);
    EXPECT_NEAR(r1->U(0, 0), 2 / std::sqrt(5.0), 1e-15);
    ASSERT_EQ(r1->converged->size(), 1u);
}

TEST(Spls3Fit, ArgumentChecksInOrder) {
    const Eigen::MatrixXd x = random_block(10, 4, 29), y = random_block(10, 3, 30);
    const Eigen::MatrixXd y_short = y.topRows(8);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::string selects = " when keep_x or keep_y selects fewer than all columns ";
    struct Case {
        const Eigen::MatrixXd& y;
        std::uint64_t k, keep_x, keep_y, max_iter;
        double tol;
        std::string message;
    };
    const Case cases[] = {
        {y_short, 0, 0, 9, 10, 1e-8, "keep_x must be >= 1 (keep_x=0 would produce an empty component)"},
        {y, 1, 5, 0, 10, 1e-8, "keep_x=5 exceeds n_features=4"},
        {y, 1, 2, 0, 10, 1e-8, "keep_y must be >= 1 (keep_y=0 would produce an empty component)"},
        {y, 1, 2, 4, 10, 1e-8, "keep_y=4 exceeds n_targets=3"},
        {y, 1, 4, 2, 0, -1, "max_iter must be >= 1" + selects + "(max_iter=0 would skip selection entirely)"},
        {y, 1, 3, 3, 10, -1, "tol must be finite and >= 0" + selects + "(got tol=-1)"},
        {y, 1, 3, 3, 10, nan, "tol must be finite and >= 0" + selects + "(got tol=NaN)"},
        {y, 1, 3, 3, 10, -0.0, "ok"},
        // Then the checks of the preparation.
        {y_short, 0, 3, 3, 10, 1e-8, "dimension mismatch: X has shape (10, 4), y has length 8"},
        {y, 0, 3, 3, 10, 1e-8, "k must be >= 1"},
        {y, 4, 3, 3, 10, 1e-8, "k=4 exceeds maximum 3"},
    };
    for (const Case& c : cases) {
        Pls3FitOpts opts;
        opts.max_iter = c.max_iter;
        opts.tol = c.tol;
        EXPECT_EQ(message_of(spls3_fit(view(x), view(c.y), c.k, c.keep_x, c.keep_y, std::nullopt, opts)),
                  c.message);
    }
    // Absent counts select every column and are not checked.
    EXPECT_TRUE(validate_sparse(std::nullopt, std::nullopt, 4, 3, 0, -1));
    EXPECT_FALSE(validate_sparse(std::nullopt, 2, 4, 3, 0, 1e-8));
}
