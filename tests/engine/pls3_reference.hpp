// Plain reference computations for the two-block tests: textbook
// standardisation (two-pass mean, standard deviation with divisor n) and the
// SVD of the cross covariance, both in long double.
#pragma once

#include <algorithm>
#include <cmath>
#include <random>

#include <Eigen/Core>
#include <Eigen/SVD>
#include "test_support.hpp"

namespace pls3_test {

using namespace test_support;

using LMat = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;

inline LMat column_means(const Eigen::MatrixXd& x) {
    return x.cast<long double>().colwise().mean().transpose();
}

inline LMat standardized(const Eigen::MatrixXd& x) {
    LMat z = x.cast<long double>();
    z.rowwise() -= column_means(x).transpose().row(0);
    const Eigen::Matrix<long double, 1, Eigen::Dynamic> sd =
        (z.colwise().squaredNorm() / (long double)x.rows()).cwiseSqrt();
    return z.array().rowwise() / sd.array();
}

struct RefSvd {
    LMat U, V, s;  // s is a column
};

// SVD of Zx'Zy with each left singular vector's largest entry made positive
// (its right partner flipped along).
inline RefSvd reference_svd(const LMat& zx, const LMat& zy) {
    const LMat c = zx.transpose() * zy;
    Eigen::JacobiSVD<LMat> svd(c, Eigen::ComputeThinU | Eigen::ComputeThinV);
    RefSvd r{svd.matrixU(), svd.matrixV(), svd.singularValues()};
    for (Eigen::Index a = 0; a < r.U.cols(); ++a) {
        Eigen::Index best = 0;
        for (Eigen::Index i = 1; i < r.U.rows(); ++i)
            if (std::fabs(r.U(i, a)) > std::fabs(r.U(best, a))) best = i;
        if (r.U(best, a) < 0) {
            r.U.col(a) *= -1;
            r.V.col(a) *= -1;
        }
    }
    return r;
}

// Columns with different means and spreads, some of them correlated.
inline Eigen::MatrixXd random_block(Eigen::Index n, Eigen::Index p, unsigned seed,
                                    double shift = 2.0) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> z;
    Eigen::MatrixXd m(n, p);
    for (Eigen::Index j = 0; j < p; ++j) {
        const double spread = std::pow(2.0, double(j % 5) - 2);
        for (Eigen::Index i = 0; i < n; ++i) m(i, j) = shift * double(j) + spread * z(gen);
    }
    return m;
}

// A response block that shares a few directions with X.
inline Eigen::MatrixXd related_block(const Eigen::MatrixXd& x, Eigen::Index q, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> z;
    Eigen::MatrixXd b(x.cols(), q);
    for (Eigen::Index i = 0; i < b.rows(); ++i)
        for (Eigen::Index j = 0; j < q; ++j) b(i, j) = z(gen) / double(1 + i);
    Eigen::MatrixXd y = x * b;
    for (Eigen::Index i = 0; i < y.rows(); ++i)
        for (Eigen::Index j = 0; j < q; ++j) y(i, j) += 3.0 * z(gen) + double(j);
    return y;
}

inline double max_abs_diff(const Eigen::MatrixXd& a, const LMat& b) {
    long double m = 0;
    for (Eigen::Index j = 0; j < a.cols(); ++j)
        for (Eigen::Index i = 0; i < a.rows(); ++i)
            m = std::max(m, std::fabs(a(i, j) - b(i, j)));
    return static_cast<double>(m);
}

}  // namespace pls3_test
