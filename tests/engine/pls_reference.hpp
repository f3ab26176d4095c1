// Textbook PLS1 for the engine tests, in long double: weighted
// standardisation (weights rescaled to mean one, means and variances with
// divisor n, rows multiplied by sqrt(w)) and NIPALS with explicit deflation
// of X and y. Written plainly and independently of the engine's loop.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <random>
#include <vector>

#include <Eigen/Core>
#include <Eigen/LU>

namespace pls_reference {

using LMat = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;
using LVec = Eigen::Matrix<long double, Eigen::Dynamic, 1>;

struct Standardized {
    LMat xs;  // rows times sqrt(w')
    LVec ys;
    LVec mean, sd;
    long double y_mean = 0, y_sd = 0;
};

inline Standardized standardize(const Eigen::MatrixXd& x, const Eigen::VectorXd& y,
                                const std::optional<std::vector<double>>& weights = {}) {
    const Eigen::Index n = x.rows(), p = x.cols();
    LVec w = LVec::Ones(n);
    if (weights) {
        long double s = 0;
        for (double v : *weights) s += v;
        for (Eigen::Index i = 0; i < n; ++i) w[i] = (*weights)[std::size_t(i)] * n / s;
    }
    auto moments = [&](auto column, long double& mean, long double& sd) {
        long double m = 0, v = 0;
        for (Eigen::Index i = 0; i < n; ++i) m += w[i] * column(i);
        m /= n;
        for (Eigen::Index i = 0; i < n; ++i) v += w[i] * (column(i) - m) * (column(i) - m);
        mean = m;
        sd = std::sqrt(v / n);
    };
    Standardized out;
    out.xs.resize(n, p);
    out.mean.resize(p);
    out.sd.resize(p);
    for (Eigen::Index j = 0; j < p; ++j) {
        moments([&](Eigen::Index i) { return (long double)x(i, j); }, out.mean[j], out.sd[j]);
        for (Eigen::Index i = 0; i < n; ++i)
            out.xs(i, j) = std::sqrt(w[i]) * ((long double)x(i, j) - out.mean[j]) / out.sd[j];
    }
    moments([&](Eigen::Index i) { return (long double)y[i]; }, out.y_mean, out.y_sd);
    out.ys.resize(n);
    for (Eigen::Index i = 0; i < n; ++i) out.ys[i] = std::sqrt(w[i]) * (y[i] - out.y_mean) / out.y_sd;
    return out;
}

// A^-1 b by LU with partial pivoting, in long double.
inline LVec solve(const LMat& a, const LVec& b) { return a.partialPivLu().solve(b); }

// W (P'W)^-1 Q of the first k columns.
inline LVec coef_of(const LMat& w, const LMat& p, const LVec& q, Eigen::Index k) {
    if (k == 0) return LVec::Zero(w.rows());
    const LMat wk = w.leftCols(k), pk = p.leftCols(k);
    return wk * solve(pk.transpose() * wk, q.head(k));
}

struct Fit {
    LMat W, P, T;
    LVec Q, coef;
    Eigen::Index k_used = 0;
};

// NIPALS PLS1 with explicit deflation; keep zeroes all but the keep largest
// |w_j| (the lower index first among equal magnitudes) before normalising.
inline Fit nipals(LMat x, LVec y, Eigen::Index k, std::optional<Eigen::Index> keep = {}) {
    const Eigen::Index n = x.rows(), p = x.cols();
    Fit f;
    f.W = LMat::Zero(p, k);
    f.P = LMat::Zero(p, k);
    f.T = LMat::Zero(n, k);
    f.Q = LVec::Zero(k);
    for (Eigen::Index a = 0; a < k; ++a) {
        LVec w = x.transpose() * y;
        if (keep && *keep < p) {
            std::vector<Eigen::Index> order(std::size_t(p), 0);
            for (Eigen::Index j = 0; j < p; ++j) order[std::size_t(j)] = j;
            std::stable_sort(order.begin(), order.end(), [&](Eigen::Index i, Eigen::Index j) {
                return std::fabs(w[i]) > std::fabs(w[j]);
            });
            for (Eigen::Index r = *keep; r < p; ++r) w[order[std::size_t(r)]] = 0;
        }
        const long double wn = w.norm();
        if (wn < 1e-12L) break;
        w /= wn;
        const LVec t = x * w;
        const long double tt = t.squaredNorm();
        const LVec pl = x.transpose() * t / tt;
        const long double q = y.dot(t) / tt;
        x -= t * pl.transpose();
        y -= q * t;
        f.W.col(a) = w;
        f.P.col(a) = pl;
        f.T.col(a) = t;
        f.Q[a] = q;
        f.k_used = a + 1;
    }
    f.coef = coef_of(f.W, f.P, f.Q, f.k_used);
    return f;
}

// n x p predictors with a few latent directions, column means and spreads
// that differ, and a response driven by the latent scores.
struct Data {
    Eigen::MatrixXd x;
    Eigen::VectorXd y;
};

inline Data latent_data(Eigen::Index n, Eigen::Index p, unsigned seed, int latent = 4) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    Eigen::MatrixXd t(n, latent), l(latent, p);
    for (Eigen::Index i = 0; i < n; ++i)
        for (int a = 0; a < latent; ++a) t(i, a) = normal(gen);
    for (int a = 0; a < latent; ++a)
        for (Eigen::Index j = 0; j < p; ++j) l(a, j) = normal(gen);
    Data d{t * l, Eigen::VectorXd(n)};
    for (Eigen::Index j = 0; j < p; ++j) {
        const double shift = 10.0 * normal(gen), spread = std::exp(normal(gen));
        for (Eigen::Index i = 0; i < n; ++i)
            d.x(i, j) = shift + spread * (d.x(i, j) + 0.5 * normal(gen));
    }
    for (Eigen::Index i = 0; i < n; ++i) {
        double s = 3.0;
        for (int a = 0; a < latent; ++a) s += (a + 1.0) * t(i, a);
        d.y[i] = s + 0.3 * normal(gen);
    }
    return d;
}

inline std::vector<double> positive_weights(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> unif(0.2, 3.0);
    std::vector<double> w(n);
    for (auto& v : w) v = unif(gen);
    return w;
}

}  // namespace pls_reference
