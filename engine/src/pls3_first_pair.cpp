// The first component of a cross covariance C without a full SVD: the top
// eigenvector of the smaller Gram matrix (C'C or CC') by Lanczos iteration,
// vouched for by a Cholesky factorisation that bounds every other
// eigenvalue, then the partner vector and the singular value from one
// product with C. Everything runs on the calling thread with Eigen's fixed
// blocking, so the bits depend on the data alone.
//
// A pair that cannot be vouched for (C too small to gain, not finite or
// zero, top values tied or too close to resolve, a value near a floor)
// goes to the thin SVD exactly as dense_components takes it.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>

#include "pls3_internal.hpp"
#include "veltra/numeric.hpp"

namespace veltra::pls3_detail {

namespace {

// Below this order the SVD costs no more than the Lanczos steps.
constexpr Eigen::Index min_order = 16;
// Lanczos steps at most; a gap that needs more goes to the SVD.
constexpr Eigen::Index max_steps = 160;
// The largest sine of the angle to the top eigenvector that is accepted,
// with every rounding error of the bound counted at its worst.
constexpr double max_angle = 1e-10;
// A value this close (relatively) to one of the floors is decided by the SVD.
constexpr double floor_margin = 1e-8;
constexpr double value_floor = 1e-14;

// A fixed start with weight on every coordinate (splitmix64 of the index),
// so that no structured Gram matrix can hide its top eigenvector from the
// Krylov space the way a coordinate or an all-ones start can.
Eigen::VectorXd start_vector(Eigen::Index d) {
    Eigen::VectorXd x(d);
    for (Eigen::Index i = 0; i < d; ++i) {
        std::uint64_t h = static_cast<std::uint64_t>(i + 1) * 0x9E3779B97F4A7C15ULL;
        h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ULL;
        h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
        h ^= h >> 31;
        x[i] = static_cast<double>(h >> 11) * 0x1p-53 - 0.5;
    }
    return x / x.norm();
}

struct TridiagonalTop {
    double top = 0.0, second = 0.0;  // the two largest eigenvalues (second 0 for order 1)
    Eigen::VectorXd y;               // unit eigenvector of top
};

// The top eigenpair of the symmetric tridiagonal T (diagonal a, off-diagonal
// b): the eigenvalues by the implicit QR algorithm without vectors, then
// the vector by two steps of inverse iteration with a shift just above the
// top value, where shift I - T is positive definite and its LDL'
// factorisation needs no pivoting. Cheaper than the QR algorithm with
// vectors, which the convergence checks would otherwise repeat.
std::optional<TridiagonalTop> tridiagonal_top(const Eigen::VectorXd& a, const Eigen::VectorXd& b) {
    const Eigen::Index n = a.size();
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> values;
    values.computeFromTridiagonal(a, b, Eigen::EigenvaluesOnly);
    if (values.info() != Eigen::Success) return std::nullopt;
    TridiagonalTop out{values.eigenvalues()[n - 1], n > 1 ? values.eigenvalues()[n - 2] : 0.0,
                       Eigen::VectorXd::Ones(n)};
    Eigen::VectorXd piv(n), mult(n);
    for (int widen = 0; widen < 3; ++widen) {
        const double shift = out.top + std::ldexp(std::abs(out.top), -40 + 10 * widen);
        bool definite = true;
        for (Eigen::Index i = 0; i < n && definite; ++i) {
            piv[i] = shift - a[i];
            if (i > 0) {
                mult[i - 1] = -b[i - 1] / piv[i - 1];
                piv[i] += mult[i - 1] * b[i - 1];
            }
            definite = piv[i] > 0.0;
        }
        if (!definite) continue;
        for (int step = 0; step < 2; ++step) {
            Eigen::VectorXd& y = out.y;
            for (Eigen::Index i = 1; i < n; ++i) y[i] -= mult[i - 1] * y[i - 1];
            for (Eigen::Index i = 0; i < n; ++i) y[i] /= piv[i];
            for (Eigen::Index i = n - 1; i > 0; --i) y[i - 1] -= mult[i - 1] * y[i];
            y /= y.norm();
        }
        if (out.y.allFinite()) return out;
    }
    return std::nullopt;
}

struct TopRitz {
    Eigen::VectorXd x;      // unit Ritz vector of the largest Ritz value
    double second = 0.0;    // the second largest Ritz value (a lower bound to lambda_2)
};

// Lanczos on the symmetric M with full reorthogonalisation (two passes, so
// that a converged direction never returns), until the top Ritz pair's
// residual estimate is at the rounding of M or the steps run out.
std::optional<TopRitz> lanczos_top(const Eigen::MatrixXd& m) {
    const Eigen::Index d = m.rows(), limit = std::min(d, max_steps);
    Eigen::MatrixXd basis(d, limit);
    Eigen::VectorXd alpha(limit), beta(limit);
    basis.col(0) = start_vector(d);
    const double breakdown = eps * m.norm();
    for (Eigen::Index j = 0; j < limit; ++j) {
        Eigen::VectorXd w = m * basis.col(j);
        alpha[j] = basis.col(j).dot(w);
        const auto done = basis.leftCols(j + 1);
        for (int pass = 0; pass < 2; ++pass) w -= done * (done.transpose() * w);
        beta[j] = w.norm();
        const Eigen::Index steps = j + 1;
        // An invariant subspace (beta at the rounding of M) ends the run.
        const bool last = steps == limit || !(beta[j] > breakdown);
        if (last || (steps >= 16 && steps % 8 == 0)) {
            const auto t = tridiagonal_top(alpha.head(steps), beta.head(steps - 1));
            if (!t) return std::nullopt;
            if (last || beta[j] * std::abs(t->y[steps - 1]) <= eps * t->top) {
                TopRitz out{basis.leftCols(steps) * t->y, t->second};
                out.x /= out.x.norm();
                return out;
            }
        }
        basis.col(j + 1) = w / beta[j];
    }
    return std::nullopt;
}

// Whether x is within max_angle of the top eigenvector of M (the sine of
// the angle, every rounding error counted at its worst). For any mu above
// lambda_2, sin <= ||M x - mu x|| / (mu - lambda_2); with mu the Rayleigh
// quotient rho, the residual is formed in extended precision, so the bound
// is not lost to the rounding of M x. lambda_2 <= tau, for the largest tau
// that the bound admits, is shown by a Cholesky factorisation of
// tau I - P M P, P the projector onto x's complement. A tied or unresolved
// top value fails.
bool certified(const Eigen::MatrixXd& m, const Eigen::VectorXd& x, double second) {
    using Ld = long double;
    const Eigen::Index n = m.rows();
    const auto d = static_cast<double>(n);
    const Eigen::VectorXd w = m * x;
    const double rho = x.dot(w);
    Ld res2 = 0.0L;
    for (Eigen::Index i = 0; i < n; ++i) {
        Ld r = -static_cast<Ld>(rho) * static_cast<Ld>(x[i]);
        for (Eigen::Index j = 0; j < n; ++j) r += static_cast<Ld>(m(i, j)) * static_cast<Ld>(x[j]);
        res2 += r * r;
    }
    // |M| |x| in double, widened by its own rounding: the scale of the
    // extended residual's rounding.
    const double abs_mx = (m.cwiseAbs() * x.cwiseAbs()).norm() * (1.0 + 2.0 * (d + 2.0) * eps);
    constexpr Ld ld_eps = std::numeric_limits<Ld>::epsilon();
    const Ld rounding = (d + 2.0L) * ld_eps * (static_cast<Ld>(abs_mx) + std::abs(Ld{rho}));
    const auto res = static_cast<double>(std::sqrt(res2) + rounding);
    // Rounding of the factorised matrix and of its Cholesky factor (backward
    // error within (d + 1) eps |L| |L'|, whose trace is at most d rho).
    const double slack = 2.0 * (d + 2.0) * eps * (d * std::abs(rho) + 4.0 * m.norm());
    const double tau = rho - slack - res / max_angle;
    if (!(tau > std::max(second, 0.0))) return false;
    Eigen::MatrixXd a = -m;
    a.selfadjointView<Eigen::Lower>().rankUpdate(x, w, 1.0);
    a.selfadjointView<Eigen::Lower>().rankUpdate(x, -rho);
    a.diagonal().array() += tau;
    return Eigen::LLT<Eigen::MatrixXd, Eigen::Lower>(a).info() == Eigen::Success;
}

struct FirstPair {
    Eigen::VectorXd u, v;
    double s;
};

// The certified first pair of C, or none.
std::optional<FirstPair> certified_first_pair(const Eigen::MatrixXd& c) {
    const Eigen::Index p = c.rows(), q = c.cols();
    if (std::min(p, q) < min_order || !c.allFinite()) return std::nullopt;
    // A C this small has no value above the floors; the SVD says so.
    const double c_max = c.cwiseAbs().maxCoeff();
    if (!(c_max >= safe_low)) return std::nullopt;
    // A power of two brings the largest entry near 1: the Gram matrix can
    // neither overflow nor lose its entries to underflow.
    int e = 0;
    std::frexp(c_max, &e);
    const Eigen::MatrixXd cs = c * std::ldexp(1.0, -e);
    // The Gram matrix of the shorter side; its top eigenvector is that
    // side's singular vector.
    const bool right = q <= p;
    const Eigen::Index d = std::min(p, q);
    Eigen::MatrixXd m = Eigen::MatrixXd::Zero(d, d);
    if (right) {
        m.selfadjointView<Eigen::Lower>().rankUpdate(cs.transpose());
    } else {
        m.selfadjointView<Eigen::Lower>().rankUpdate(cs);
    }
    m.triangularView<Eigen::StrictlyUpper>() = m.transpose();
    const auto top = lanczos_top(m);
    if (!top || !certified(m, top->x, top->second)) return std::nullopt;
    Eigen::VectorXd partner = right ? Eigen::VectorXd(cs * top->x)
                                    : Eigen::VectorXd(cs.transpose() * top->x);
    const double norm = partner.norm();
    if (!(norm > 0.0) || !std::isfinite(norm)) return std::nullopt;
    partner /= norm;
    const double s = std::ldexp(norm, e);
    if (right) return FirstPair{std::move(partner), top->x, s};
    return FirstPair{top->x, std::move(partner), s};
}

bool clear_of(double s, double floor) {
    return s >= floor * (1.0 + floor_margin);
}

}  // namespace

Result<Components> first_dense_component(const Eigen::MatrixXd& C,
                                         const ThresholdProvider& threshold) {
    std::optional<double> tol;
    if (const auto pair = certified_first_pair(C); pair && clear_of(pair->s, value_floor)) {
        tol = threshold();
        if (clear_of(pair->s, *tol)) {
            Components out{pair->u, pair->v, Eigen::VectorXd::Constant(1, pair->s)};
            pin_component_signs(out.U, out.V);
            return out;
        }
    }
    if (!tol) return dense_components(C, 1, par_sequential, threshold);
    return dense_components(C, 1, par_sequential, [t = *tol] { return t; });
}

}  // namespace veltra::pls3_detail
