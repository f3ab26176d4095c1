#include <gtest/gtest.h>

#include <cmath>

#include <Eigen/SVD>

#include "veltra/rotate.hpp"
#include "test_support.hpp"

using namespace veltra;
using test_support::orthonormality_error;
using test_support::random_matrix;
using test_support::view;

namespace {

// The varimax criterion written from its definition: the sum over columns
// of the variance of the squared loadings (divisor m), in long double.
double criterion(const Eigen::MatrixXd& A) {
    long double V = 0;
    for (int j = 0; j < A.cols(); ++j) {
        long double s2 = 0, s4 = 0;
        for (int i = 0; i < A.rows(); ++i) {
            const long double sq = static_cast<long double>(A(i, j)) * A(i, j);
            s2 += sq;
            s4 += sq * sq;
        }
        V += s4 / A.rows() - (s2 / A.rows()) * (s2 / A.rows());
    }
    return static_cast<double>(V);
}

Eigen::MatrixXd kaiser(const Eigen::MatrixXd& M) {
    Eigen::MatrixXd A = M;
    for (int i = 0; i < A.rows(); ++i) {
        const double h = A.row(i).norm();
        if (h > 1e-12) A.row(i) /= h;
    }
    return A;
}

// Kaiser's varimax by the SVD iteration of the textbook (as in R's
// stats::varimax): an independent route to the same optimum.
Eigen::MatrixXd reference_varimax(const Eigen::MatrixXd& A) {
    const int K = static_cast<int>(A.cols());
    const double p = static_cast<double>(A.rows());
    Eigen::MatrixXd T = Eigen::MatrixXd::Identity(K, K);
    double d = 0;
    for (int it = 0; it < 10000; ++it) {
        const Eigen::MatrixXd z = A * T;
        Eigen::MatrixXd z3 = z.array().cube().matrix();
        const Eigen::VectorXd col_ss = z.array().square().colwise().sum();
        const Eigen::MatrixXd B = A.transpose() * (z3 - z * col_ss.asDiagonal() / p);
        Eigen::JacobiSVD<Eigen::MatrixXd> svd(B, Eigen::ComputeFullU | Eigen::ComputeFullV);
        T = svd.matrixU() * svd.matrixV().transpose();
        const double d_past = d;
        d = svd.singularValues().sum();
        if (d < d_past * (1 + 1e-14)) break;
    }
    return T;
}

// Columns of B equal those of A up to order and sign.
void expect_same_columns_up_to_sign(const Eigen::MatrixXd& A, const Eigen::MatrixXd& B, double tol) {
    ASSERT_EQ(A.cols(), B.cols());
    for (int j = 0; j < A.cols(); ++j) {
        double best = INFINITY;
        for (int l = 0; l < B.cols(); ++l)
            best = std::min({best, (A.col(j) - B.col(l)).cwiseAbs().maxCoeff(),
                             (A.col(j) + B.col(l)).cwiseAbs().maxCoeff()});
        EXPECT_LT(best, tol) << "column " << j;
    }
}

}  // namespace

TEST(Varimax, ReachesTheTextbookOptimum) {
    for (bool use_kaiser : {true, false}) {
        const Eigen::MatrixXd W = random_matrix(40, 4, 7);
        const auto out = rotate(MatView::of(W), {1000, 1e-15, use_kaiser}).value();
        EXPECT_TRUE(orthonormality_error(out.R) < 1e-12);
        EXPECT_LT((out.W_rot - W * out.R).cwiseAbs().maxCoeff(), 1e-12);

        const Eigen::MatrixXd A = use_kaiser ? kaiser(W) : W;
        const Eigen::MatrixXd T = reference_varimax(A);
        EXPECT_NEAR(criterion(A * out.R), criterion(A * T), 1e-10);
        EXPECT_GE(criterion(A * out.R), criterion(A) - 1e-12);
        expect_same_columns_up_to_sign(W * out.R, W * T, 1e-5);  // flat optimum
        EXPECT_NEAR(out.V_converged, criterion(A * out.R), 1e-9);
    }
}

TEST(Varimax, TrivialCases) {
    const Eigen::MatrixXd W = random_matrix(12, 3, 5);
    const auto none = rotate(MatView::of(W), {0, 1e-8, true}).value();
    EXPECT_TRUE(none.sweeps == 0 && none.R == Eigen::MatrixXd::Identity(3, 3));
    EXPECT_NEAR(none.V_converged, criterion(kaiser(W)), 1e-14);
    const Eigen::MatrixXd one = random_matrix(12, 1, 5);
    const auto k1 = rotate(MatView::of(one), {}).value();
    EXPECT_TRUE(k1.sweeps == 0 && k1.R == Eigen::MatrixXd::Identity(1, 1) && k1.W_rot == one);
    const Eigen::MatrixXd no_rows(0, 3);
    const auto z = rotate(MatView::of(no_rows), {}).value();
    EXPECT_TRUE(z.sweeps == 0 && z.R == Eigen::MatrixXd::Identity(3, 3) && z.W_rot.rows() == 0 &&
                z.W_rot.cols() == 3);
    // Already at the optimum: one sweep, reporting the starting criterion.
    const auto first = rotate(MatView::of(W), {1000, 1e-15, true}).value();
    const auto again = rotate(MatView::of(first.W_rot), {1000, 1e-6, true}).value();
    EXPECT_EQ(again.sweeps, 1u);
    EXPECT_NEAR(again.V_converged, criterion(kaiser(first.W_rot)), 1e-12);
    // A zero row of M stays zero under Kaiser normalisation.
    Eigen::MatrixXd zero_row = random_matrix(8, 2, 9);
    zero_row.row(3).setZero();
    const auto zr = rotate(MatView::of(zero_row), {}).value();
    EXPECT_TRUE(orthonormality_error(zr.R) < 1e-12);
    EXPECT_EQ(zr.W_rot.row(3).cwiseAbs().maxCoeff(), 0.0);
}

// Without normalisation, huge entries are in the test below.
TEST(Varimax, HugeEntriesRotateAsTheirScaledCopy) {
    const Eigen::MatrixXd W = random_matrix(20, 3, 11);
    const Eigen::MatrixXd big = W * std::ldexp(1.0, 700);
    // Normalised rows are scale-free: the same rotation bit for bit.
    const auto small_out = rotate(MatView::of(W), {50, 1e-8, true}).value();
    const auto big_out = rotate(MatView::of(big), {50, 1e-8, true}).value();
    EXPECT_TRUE(big_out.R == small_out.R && big_out.V_converged == small_out.V_converged);
    EXPECT_TRUE(big_out.W_rot.allFinite());
    // Each row is normalised on its own, however far below the largest.
    Eigen::MatrixXd mixed = big;
    mixed.row(0) = W.row(0);
    EXPECT_EQ(rotate(MatView::of(mixed), {50, 1e-8, true}).value().R, small_out.R);
}

TEST(Varimax, HugeEntriesStopAtConvergenceWithoutNormalisation) {
    // Fourth powers of entries beyond about 1e77 overflow; scaled by a power
    // of two the sweeps see a finite criterion and stop where the small
    // matrix does, even without a bound on the sweeps.
    const Eigen::MatrixXd W = (Eigen::MatrixXd(2, 2) << 1, 2, 3, 1).finished();
    const auto small = rotate(MatView::of(W), {50, 1e-8, false}).value();
    ASSERT_LT(small.sweeps, 50u);
    for (const int e : {200, 250, 300, 700, 1022}) {
        const Eigen::MatrixXd big = W * std::ldexp(1.0, e);
        for (const std::uint64_t max_iter : {std::uint64_t{50}, (std::uint64_t{1} << 63) - 1}) {
            const auto out = rotate(MatView::of(big), {max_iter, 1e-8, false}).value();
            EXPECT_LT(out.sweeps, 50u) << e;
            EXPECT_TRUE(orthonormality_error(out.R) < 1e-12);
            EXPECT_LT((out.R - small.R).cwiseAbs().maxCoeff(), 1e-12) << e;
            // The criterion scales by 2^(4e): reported as inf beyond the doubles.
            const double v = std::ldexp(small.V_converged, 4 * e);
            if (std::isinf(v))
                EXPECT_EQ(out.V_converged, v);
            else
                EXPECT_NEAR(out.V_converged, v, 1e-12 * v);
        }
    }
}

TEST(Varimax, ChecksInOrder) {
    Eigen::MatrixXd W = random_matrix(4, 2, 1);
    W(1, 1) = INFINITY;
    const Eigen::MatrixXd L3 = random_matrix(5, 3, 2);
    EXPECT_EQ(rotate(view(W), {}, view(L3)).error().display(), "invalid input: W contains non-finite values");
    W(1, 1) = 0.5;
    Eigen::MatrixXd L2 = random_matrix(5, 2, 2);
    L2(0, 0) = NAN;
    EXPECT_EQ(rotate(view(W), {}, view(L2)).error().display(), "invalid input: L contains non-finite values");
}

TEST(RotateModel, ShapeChecksNameTheFieldInOrder) {
    const Eigen::MatrixXd W = random_matrix(6, 3, 1);
    const Eigen::MatrixXd T = random_matrix(10, 3, 2), P = random_matrix(6, 3, 3);
    const Eigen::MatrixXd T2 = random_matrix(10, 2, 4), P2 = random_matrix(6, 4, 5);
    const Eigen::MatrixXd P5 = random_matrix(5, 3, 6);
    const Eigen::VectorXd Q = Eigen::VectorXd::Ones(3), Q2 = Eigen::VectorXd::Ones(2);
    struct Case {
        const Eigen::MatrixXd& T;
        const Eigen::MatrixXd& P;
        const Eigen::VectorXd& Q;
        const char* message;
    };
    const Case cases[] = {
        {T2, P2, Q2, "invalid argument: model field 'T' has 2 columns, W has 3"},
        {T, P2, Q2, "invalid argument: model field 'P' has 4 columns, W has 3"},
        {T, P5, Q2, "invalid argument: model field 'P' has 5 rows, W has 6 rows"},
        {T, P, Q2, "invalid argument: model field 'Q' has length 2, W has 3"},
    };
    for (const Case& c : cases) {
        const auto r = rotate_model(view(c.T), view(c.P), view(W), view(c.Q), {}, std::nullopt, par_sequential);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), c.message);
    }
    EXPECT_TRUE(check_model_shapes(view(T), view(P), view(W), view(Q)));
}
