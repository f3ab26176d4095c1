#include "veltra/rotate.hpp"

#include <bit>
#include <cmath>

#include "veltra/elementary.hpp"
#include "veltra/finite.hpp"
#include <string>
#include <utility>

#include "veltra/linalg.hpp"

namespace veltra {

namespace {

double max_abs(MatView M) {
    double m = 0.0;
    for (std::size_t j = 0; j < M.cols; ++j)
        for (std::size_t i = 0; i < M.rows; ++i) m = std::max(m, std::abs(M(i, j)));
    return m;
}

// Whether the sums of a sweep or of the criterion can overflow for m rows
// and K columns of entries below 2^(e + 1): each term is at most 4 A^4, the
// products of two sums at most 4 m^2 A^4, the criterion K such terms.
bool criterion_may_overflow(int e, std::size_t m, std::size_t K) {
    const int bound = 4 * (e + 1) + 2 * static_cast<int>(std::bit_width(m)) +
                      static_cast<int>(std::bit_width(K)) + 4;
    return bound > 1020;
}

// Whether the criterion grew by less than tol, judged at the scale of M: the
// criterion of A is that of M times 2^-shift4, and scaling the gain back is
// exact short of overflow, which no finite tol exceeds. (Scaling tol down
// instead would lose it to underflow for huge M.)
bool gain_below(double gain, int shift4, double tol) {
    if (std::isinf(tol)) return tol > 0.0 && !std::isnan(gain);
    return std::ldexp(gain, shift4) < tol;
}

// The working matrix: M, times 2^-shift when its criterion could overflow,
// or with rows divided by their norms under Kaiser normalisation (shift 0).
// `shift` is what the criterion of A must be scaled back by (4 shift as a
// power of two).
Eigen::MatrixXd working_matrix(MatView M, bool kaiser, int& shift) {
    Eigen::MatrixXd A = M.eigen();
    shift = 0;
    if (!kaiser) {
        const double big = max_abs(M);
        if (big > 0.0 && criterion_may_overflow(std::ilogb(big), M.rows, M.cols))
            shift = std::ilogb(big);
        if (shift != 0) A *= std::ldexp(1.0, -shift);
        return A;
    }
    for (Eigen::Index i = 0; i < A.rows(); ++i) {
        // A row whose squares could overflow is normalised at a power-of-two
        // scale of its own: exactly the same quotients.
        const double row_max = A.row(i).cwiseAbs().maxCoeff();
        const int e = row_max > 0x1p500 ? std::ilogb(row_max) : 0;
        double ss = 0.0;
        for (Eigen::Index j = 0; j < A.cols(); ++j) {
            const double a = std::ldexp(A(i, j), -e);
            ss += a * a;
        }
        double h = std::sqrt(ss);
        if (e == 0 && h <= 1e-12) h = 1.0;
        for (Eigen::Index j = 0; j < A.cols(); ++j) A(i, j) = std::ldexp(A(i, j), -e) / h;
    }
    return A;
}

// Applies the planar rotation by theta to columns j and l of M.
void rotate_pair(Eigen::MatrixXd& M, Eigen::Index j, Eigen::Index l, double cs, double sn) {
    for (Eigen::Index i = 0; i < M.rows(); ++i) {
        const double x = M(i, j), y = M(i, l);
        M(i, j) = cs * x + sn * y;
        M(i, l) = cs * y - sn * x;
    }
}

void sweep(Eigen::MatrixXd& A, Eigen::MatrixXd& R) {
    const auto K = A.cols();
    const double m = static_cast<double>(A.rows());
    for (Eigen::Index j = 0; j + 1 < K; ++j) {
        for (Eigen::Index l = j + 1; l < K; ++l) {
            double a = 0.0, b = 0.0, c = 0.0, d = 0.0, e = 0.0;
            for (Eigen::Index i = 0; i < A.rows(); ++i) {
                const double x = A(i, j), y = A(i, l);
                const double u = x * x - y * y;
                const double v = (x + x) * y;
                a += u;
                b += v;
                c += u * u;
                d += v * v;
                e += v * u;
            }
            const double theta =
                0.25 * elementary::atan2(2.0 * (e - (b * a) / m), (c - d) - (a * a - b * b) / m);
            const elementary::SinCos sc = elementary::sincos(theta);
            rotate_pair(A, j, l, sc.cos, sc.sin);
            rotate_pair(R, j, l, sc.cos, sc.sin);
        }
    }
}

}  // namespace

double varimax_criterion(const Eigen::MatrixXd& A) {
    const double m = static_cast<double>(A.rows());
    double V = 0.0;
    for (Eigen::Index j = 0; j < A.cols(); ++j) {
        double s2 = 0.0, s4 = 0.0;
        for (Eigen::Index i = 0; i < A.rows(); ++i) {
            const double sq = A(i, j) * A(i, j);
            s2 += sq;
            s4 += sq * sq;
        }
        V += s4 / m - (s2 / m) * (s2 / m);
    }
    return V;
}

Result<RotateOutput> rotate(MatView W, const VarimaxOpts& opts, std::optional<MatView> L) {
    const std::size_t K = W.cols;
    if (K == 0) return fail(VeltraError::InvalidInput{"W has K=0"});
    if (!all_finite(W)) return fail(VeltraError::InvalidInput{"W contains non-finite values"});
    if (L && L->cols != K)
        return fail(VeltraError::ShapeMismatch{"L.ncols=" + std::to_string(L->cols) +
                                               " but W.ncols=" + std::to_string(K)});
    if (L && !all_finite(*L))
        return fail(VeltraError::InvalidInput{"L contains non-finite values"});

    const MatView M = L ? *L : W;
    int shift = 0;
    Eigen::MatrixXd A = working_matrix(M, opts.kaiser_normalize, shift);
    const auto Ki = to_index(K);
    RotateOutput out;
    out.R = Eigen::MatrixXd::Identity(Ki, Ki);
    double V_old = varimax_criterion(A);
    out.V_converged = V_old;
    // With no rows there is nothing to choose a rotation on: every angle
    // would be NaN. The identity is the only sound answer.
    if (K > 1 && M.rows > 0 && opts.max_iter > 0) {
        for (std::uint64_t s = 1;; ++s) {
            sweep(A, out.R);
            const double V_new = varimax_criterion(A);
            if (gain_below(V_new - V_old, 4 * shift, opts.tol)) {
                out.sweeps = s;
                out.V_converged = V_old;
                break;
            }
            if (s == opts.max_iter) {
                out.sweeps = s;
                out.V_converged = V_new;
                break;
            }
            V_old = V_new;
        }
    }
    out.V_converged = std::ldexp(out.V_converged, 4 * shift);
    out.W_rot = W.eigen() * out.R;
    return out;
}

Result<void> check_model_shapes(MatView T, MatView P, MatView W, VecView Q) {
    const std::size_t K = W.cols, p = W.rows;
    const auto bad = [](std::string message) {
        return fail(VeltraError::InvalidArgument{std::move(message)});
    };
    if (T.cols != K)
        return bad("model field 'T' has " + std::to_string(T.cols) + " columns, W has " +
                   std::to_string(K));
    if (P.cols != K)
        return bad("model field 'P' has " + std::to_string(P.cols) + " columns, W has " +
                   std::to_string(K));
    if (P.rows != p)
        return bad("model field 'P' has " + std::to_string(P.rows) + " rows, W has " +
                   std::to_string(p) + " rows");
    if (Q.len != K)
        return bad("model field 'Q' has length " + std::to_string(Q.len) + ", W has " +
                   std::to_string(K));
    return {};
}

Result<RotatedModel> rotate_model(MatView T, MatView P, MatView W, VecView Q,
                                  const VarimaxOpts& opts, std::optional<MatView> L, Par par) {
    VELTRA_CHECK(check_model_shapes(T, P, W, Q));
    VELTRA_TRY(rotation, rotate(W, opts, L));
    RotatedModel out;
    out.rotation = std::move(*rotation);
    const MatView R = MatView::of(out.rotation.R);
    out.T_rot = mat_mul(T, R, par);
    out.P_rot = mat_mul(P, R, par);
    // R' is copied column-major so that every entry of R'Q is a sum in index
    // order; through a row-major view the product takes a vectorised dot
    // product and rounds differently.
    const Eigen::MatrixXd R_t = out.rotation.R.transpose();
    const MatView q_col{Q.data, Q.len, 1, Q.stride, static_cast<std::ptrdiff_t>(Q.len)};
    out.Q_rot = mat_mul(MatView::of(R_t), q_col, par).col(0);
    return out;
}

}  // namespace veltra
