// The first two-block component without a full SVD: against a long-double
// SVD where the top pair is well separated (also for the structures that
// can hide it from an iteration), and bit for bit the SVD route's answer
// wherever the pair cannot be vouched for.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "pls3_reference.hpp"
#include "veltra/pls3.hpp"

using namespace veltra;
using namespace pls3_test;

namespace {

// The first singular triple of C in long double, the largest entry of u
// made positive.
struct RefPair {
    LMat u, v;
    long double s;
};

RefPair reference_pair(const Eigen::MatrixXd& c) {
    Eigen::JacobiSVD<LMat> svd(c.cast<long double>(), Eigen::ComputeThinU | Eigen::ComputeThinV);
    RefPair r{svd.matrixU().col(0), svd.matrixV().col(0), svd.singularValues()[0]};
    Eigen::Index best = 0;
    for (Eigen::Index i = 1; i < r.u.rows(); ++i)
        if (std::fabs(r.u(i, 0)) > std::fabs(r.u(best, 0))) best = i;
    if (r.u(best, 0) < 0) {
        r.u = -r.u;
        r.v = -r.v;
    }
    return r;
}

// X'Y of standardised blocks sharing a few directions.
Eigen::MatrixXd cross_cov(Eigen::Index n, Eigen::Index p, Eigen::Index q, unsigned seed) {
    const Eigen::MatrixXd x = random_block(n, p, seed), y = related_block(x, q, seed + 1);
    return (standardized(x).transpose() * standardized(y)).cast<double>();
}

// C = U diag(s) V' with orthonormal U, V drawn from seed.
Eigen::MatrixXd with_values(Eigen::Index p, Eigen::Index q, const Eigen::VectorXd& s,
                            unsigned seed) {
    const Eigen::Index r = s.size();
    const Eigen::HouseholderQR<Eigen::MatrixXd> qu(random_matrix(p, r, seed)),
        qv(random_matrix(q, r, seed + 1));
    const Eigen::MatrixXd u = qu.householderQ() * Eigen::MatrixXd::Identity(p, r);
    const Eigen::MatrixXd v = qv.householderQ() * Eigen::MatrixXd::Identity(q, r);
    return u * s.asDiagonal() * v.transpose();
}

Eigen::MatrixXd block_diagonal(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
    Eigen::MatrixXd c = Eigen::MatrixXd::Zero(a.rows() + b.rows(), a.cols() + b.cols());
    c.topLeftCorner(a.rows(), a.cols()) = a;
    c.bottomRightCorner(b.rows(), b.cols()) = b;
    return c;
}

// The first pair as both entry points give it, checked against the
// long-double SVD.
void expect_reference_pair(const Eigen::MatrixXd& c) {
    const RefPair ref = reference_pair(c);
    const auto lv1 = pls3_lv1_from_cross_cov(c, 0.0);
    ASSERT_TRUE(lv1 && *lv1);
    EXPECT_NEAR((*lv1)->s, double(ref.s), 1e-14 * double(ref.s));
    const Eigen::VectorXd v = (*lv1)->v;
    // pls3_lv1_from_cross_cov pins the sign through u, which it does not return.
    const double sign = v.dot(ref.v.col(0).cast<double>()) < 0 ? -1.0 : 1.0;
    EXPECT_LT(max_abs_diff(Eigen::MatrixXd(sign * v), ref.v), 1e-13);
    // The same route on blocks whose cross product is C: X = I, Y = C.
    const Eigen::MatrixXd eye = Eigen::MatrixXd::Identity(c.rows(), c.rows());
    const auto pre = pls3_lv1_prestd(MatView::of(eye), MatView::of(c), 0.0, std::nullopt,
                                     std::nullopt, 0, 0.0);
    ASSERT_TRUE(pre && pre->components.U.cols() == 1);
    EXPECT_LT(max_abs_diff(pre->components.U, ref.u), 1e-13);
    EXPECT_LT(max_abs_diff(pre->components.V, ref.v), 1e-13);
}

// The SVD route's own answer for C at threshold tol, bit for bit.
void expect_svd_route(const Eigen::MatrixXd& c, double tol) {
    const auto svd = dense_components(c, 1, par_sequential, [tol] { return tol; });
    const auto lv1 = pls3_lv1_from_cross_cov(c, tol);
    ASSERT_EQ(svd.has_value(), lv1.has_value());
    if (!svd) {
        EXPECT_EQ(svd.error().display(), lv1.error().display());
        return;
    }
    ASSERT_EQ(svd->U.cols() == 1, lv1->has_value());
    if (svd->U.cols() == 0) return;
    EXPECT_TRUE(test_support::same_bits(svd->singular_values[0], (*lv1)->s));
    EXPECT_TRUE(test_support::same_bits(svd->V.col(0), (*lv1)->v));
}

}  // namespace

TEST(Pls3FirstPair, MatchesTheLongDoubleSvdOnEitherSide) {
    expect_reference_pair(cross_cov(80, 40, 30, 1));  // the eigenvector of C'C
    expect_reference_pair(cross_cov(80, 30, 40, 3));  // of CC'
    expect_reference_pair(cross_cov(200, 60, 60, 5));
    // A generic C takes the iteration, not the SVD: its bits differ.
    const Eigen::MatrixXd c = cross_cov(80, 40, 30, 1);
    const auto svd = dense_components(c, 1, par_sequential, [] { return 0.0; });
    EXPECT_FALSE(test_support::same_bits(svd->V.col(0), (*pls3_lv1_from_cross_cov(c, 0.0))->v));
}

TEST(Pls3FirstPair, StructuresThatCouldHideTheTopPairStillFindIt) {
    // Rank 3 of 40 x 30: the iteration ends in an invariant subspace.
    expect_reference_pair(random_matrix(40, 3, 7) * random_matrix(30, 3, 8).transpose());
    // Block diagonal: the largest column belongs to a block whose only value
    // (2.9) is below the other block's top (3), so a start from that column
    // would never see the top pair.
    Eigen::MatrixXd a = random_matrix(20, 20, 9);
    a *= 3.0 / Eigen::JacobiSVD<Eigen::MatrixXd>(a).singularValues()[0];
    Eigen::MatrixXd b = Eigen::MatrixXd::Zero(20, 20);
    b(0, 0) = 2.9;
    ASSERT_LT(a.colwise().norm().maxCoeff(), 2.9);
    expect_reference_pair(block_diagonal(a, b));
    // The second and third values tied, the first well clear of them.
    Eigen::VectorXd s = Eigen::VectorXd::LinSpaced(20, 5.0, 1.0);
    s[2] = s[1];
    expect_reference_pair(with_values(30, 25, s, 10));
}

TEST(Pls3FirstPair, ScalesByPowersOfTwoWithoutOverflow) {
    const Eigen::MatrixXd c = cross_cov(80, 40, 30, 11);
    const auto base = pls3_lv1_from_cross_cov(c, 0.0);
    for (const int e : {600, -40}) {
        const auto scaled = pls3_lv1_from_cross_cov(std::ldexp(1.0, e) * c, 0.0);
        ASSERT_TRUE(scaled && *scaled);
        EXPECT_TRUE(test_support::same_bits((*scaled)->v, (*base)->v)) << e;
        EXPECT_EQ((*scaled)->s, std::ldexp((*base)->s, e)) << e;
    }
    // So small that no value clears 1e-14: the SVD route says so.
    expect_svd_route(std::ldexp(1.0, -800) * c, 0.0);
}

TEST(Pls3FirstPair, PairsItCannotVouchForAreTheSvdRoutesBitForBit) {
    // Exactly tied top values: two copies of one block.
    const Eigen::MatrixXd a = random_matrix(20, 20, 12);
    expect_svd_route(block_diagonal(a, a), 0.0);
    // Top values 1e-13 apart.
    Eigen::VectorXd s = Eigen::VectorXd::LinSpaced(20, 10.0, 1.0);
    s[1] = s[0] * (1.0 - 1e-13);
    expect_svd_route(with_values(30, 25, s, 13), 0.0);
    // Zero, too small to gain, not finite.
    expect_svd_route(Eigen::MatrixXd::Zero(30, 20), 0.0);
    expect_svd_route(cross_cov(80, 40, 8, 14), 0.0);
    Eigen::MatrixXd nan = cross_cov(80, 40, 30, 15);
    nan(3, 4) = NAN;
    expect_svd_route(nan, 0.0);
    // A first value within rounding of the threshold, on either side of it.
    const Eigen::MatrixXd c = cross_cov(80, 40, 30, 16);
    const double s1 = (*pls3_lv1_from_cross_cov(c, 0.0))->s;
    expect_svd_route(c, s1 * (1.0 + 1e-12));
    expect_svd_route(c, s1 * (1.0 - 1e-12));
}
