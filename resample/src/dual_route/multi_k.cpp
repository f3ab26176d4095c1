#include "veltra/resample/dual_route/multi_k.hpp"

#include <algorithm>
#include <cmath>

#include "veltra/error.hpp"
#include "veltra/gram_p.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/ordered_product.hpp"

namespace veltra::resample {
namespace {

// The working state of one response column.
struct KernelColumn {
    bool active = false;
    Eigen::VectorXd y_res;
    Eigen::MatrixXd U, V, W, T;  // n x k, the first a columns filled
    Eigen::VectorXd c;
    double yy = 0.0, tol_y = 0.0, e = 0.0;
};

NspaceOutcome outcome(NspaceOutcome::Kind kind) { return NspaceOutcome{kind, 0, {}}; }

}  // namespace

double gram_norm_bound(MatView g, double fro_norm) {
    const double f = fro_norm * fro_norm;
    const std::size_t n = g.rows;
    if (n == 0) return f;
    double sq = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        sq += static_cast<double>(i + 1) * static_cast<double>(i + 1);
    const double norm0 = std::sqrt(sq);
    Eigen::VectorXd v(to_index(n));
    for (std::size_t i = 0; i < n; ++i) v[to_index(i)] = static_cast<double>(i + 1) / norm0;
    double lambda = 0.0, lambda_prev = 0.0;
    for (int it = 0; it < 50; ++it) {
        const Eigen::VectorXd w = seq_gemv(g, VecView::of(v));
        lambda = dot(v.data(), w.data(), n);
        const double nw = stable_norm(VecView::of(w));
        if (!(nw > 0.0)) break;
        v = w / nw;
        if (std::abs(lambda - lambda_prev) <= 0.001 * lambda) break;
        lambda_prev = lambda;
    }
    const double doubled = (0.0 < 2.0 * lambda && 2.0 * lambda < f) ? 2.0 * lambda : f;
    // A start vector (nearly) orthogonal to the top eigenvector leaves the
    // Rayleigh quotient near a lower eigenvalue, and twice that need not
    // bound the top one. The largest absolute row sum and the trace always
    // do; an allowance built on less would certify values that are not sure.
    const double sure = c2_norm_estimate(g, fro_norm);
    return std::isnan(doubled) || doubled >= sure ? doubled : sure;
}

NspaceGram::NspaceGram(MatView z, Par par)
    : gram(gram_of(z, par)), fro_norm(stable_norm(z)), n_features(z.cols) {
    norm_bound = gram_norm_bound(MatView::of(gram), fro_norm);
}

NspaceGram NspaceGram::from_gram(MatView g, std::uint64_t n_features) {
    internal_check(g.rows == g.cols, "NspaceGram::from_gram: G is not square");
    NspaceGram out;
    out.gram = Eigen::MatrixXd(to_index(g.rows), to_index(g.cols));
    for (std::size_t j = 0; j < g.cols; ++j)
        for (std::size_t i = 0; i < g.rows; ++i) out.gram(to_index(i), to_index(j)) = g(i, j);
    double trace = 0.0;
    for (std::size_t i = 0; i < g.rows; ++i) trace += g(i, i);
    out.fro_norm = std::sqrt(trace);
    out.norm_bound = gram_norm_bound(MatView::of(out.gram), out.fro_norm);
    out.n_features = n_features;
    return out;
}

std::uint64_t nspace_kernel_bytes(std::uint64_t n, std::uint64_t k, std::uint64_t columns) {
    const std::uint64_t per_column = block_bytes(n, sat_add(sat_mul(4, k), 2));
    // R, the step's vectors r, t and u, and Q = G R.
    const std::uint64_t step =
        sat_add(block_bytes(n, sat_add(columns, 3)), ordered_product_bytes(n, n, columns));
    return sat_add(sat_mul(columns, per_column), step);
}

std::vector<NspaceOutcome> nspace_kernel_cols(const NspaceGramView& g, MatView y, std::size_t k) {
    using Kind = NspaceOutcome::Kind;
    const std::size_t n = g.gram.rows, m = y.cols;
    std::vector<NspaceOutcome> out(m);
    if (y.rows != n || g.gram.cols != n) return out;  // every column Unresolved

    const double F = g.fro_norm, B = g.norm_bound;
    const double p = static_cast<double>(g.n_features);
    const double nd = static_cast<double>(n);
    const double big = static_cast<double>(std::max<std::uint64_t>(n, g.n_features));
    const Eigen::Index ni = to_index(n), ki = to_index(k);

    std::vector<KernelColumn> cols(m);
    for (std::size_t j = 0; j < m; ++j) {
        bool zero = true;
        for (std::size_t i = 0; i < n && zero; ++i) zero = y(i, j) == 0.0;
        if (n == 0 || zero) {
            out[j] = outcome(Kind::Zero);
            continue;
        }
        if (k == 0 || k >= n) continue;  // Unresolved
        KernelColumn& col = cols[j];
        col.active = true;
        col.y_res.resize(ni);
        for (std::size_t i = 0; i < n; ++i) col.y_res[to_index(i)] = y(i, j);
        const double ny = stable_norm(VecView::of(col.y_res));
        col.yy = ny * ny;
        col.tol_y = ny * F * big * eps;
        col.U = col.V = col.W = col.T = Eigen::MatrixXd::Zero(ni, ki);
        col.c = Eigen::VectorXd::Zero(ki);
    }

    std::vector<std::size_t> active;
    for (std::size_t a = 0; a < k; ++a) {
        active.clear();
        for (std::size_t j = 0; j < m; ++j)
            if (cols[j].active) active.push_back(j);
        if (active.empty()) break;
        const double ad = static_cast<double>(a);
        const double E1 = F * F * eps * (2.0 * nd + p + 6.0 * ad * (nd + 2.0));
        const double E2 = F * F * (F * F) * eps * (3.0 * nd + 2.0 * p + 10.0 * ad * (nd + 2.0));
        const Eigen::Index ai = to_index(a);

        // Only the active columns enter the product: each entry of G R is
        // one running sum over its own column, whatever the others are.
        Eigen::MatrixXd R(ni, to_index(active.size()));
        for (std::size_t q = 0; q < active.size(); ++q) {
            KernelColumn& col = cols[active[q]];
            Eigen::VectorXd r = col.y_res;
            for (std::size_t l = a; l-- > 0;) {
                const double f = dot(col.V.col(to_index(l)).data(), r.data(), n);
                r -= f * col.U.col(to_index(l));
            }
            R.col(to_index(q)) = r;
        }
        const Eigen::MatrixXd Q = ordered_product(g.gram, MatView::of(R), par_sequential);

        for (std::size_t q = 0; q < active.size(); ++q) {
            const std::size_t j = active[q];
            KernelColumn& col = cols[j];
            const auto r = R.col(to_index(q));
            const auto w = Q.col(to_index(q));
            const double gg = dot(r.data(), w.data(), n);
            const double e_old = col.e;
            if (!(gg >= 4.0 * col.yy * (E1 + 8.0 * B * e_old))) {
                col.active = false;
                continue;
            }
            const double s = std::sqrt(std::max(gg, 0.0));
            if (!(s >= 1e-12 && s >= 4.0 * col.tol_y)) {
                col.active = false;
                continue;
            }
            col.e = e_old + (E1 + 8.0 * B * e_old) * col.yy / gg;
            const Eigen::VectorXd t = w / s;
            Eigen::VectorXd u = t;
            for (std::size_t l = 0; l < a; ++l) {
                const double f = dot(col.V.col(to_index(l)).data(), u.data(), n);
                u -= f * col.U.col(to_index(l));
            }
            const double h = dot(u.data(), u.data(), n);
            if (!(h >= 1e-12 && gg * h >= 4.0 * col.yy * (E2 + 8.0 * (B * B) * e_old))) {
                col.active = false;
                continue;
            }
            col.V.col(ai) = u / h;
            col.c[ai] = dot(col.y_res.data(), u.data(), n) / h;
            col.y_res -= col.c[ai] * u;
            col.W.col(ai) = r / s;
            col.T.col(ai) = t;
            col.U.col(ai) = u;
        }
    }

    for (std::size_t j = 0; j < m; ++j) {
        KernelColumn& col = cols[j];
        if (!col.active) continue;
        Eigen::MatrixXd M(ki, ki);
        for (Eigen::Index i = 0; i < ki; ++i)
            for (Eigen::Index l = 0; l < ki; ++l)
                M(i, l) = dot(col.V.col(i).data(), col.T.col(l).data(), n);
        Eigen::MatrixXd x = col.c;
        lu_solve_in_place(MatView::of(M), x);
        Eigen::VectorXd alpha =
            seq_gemv(MatView::of(col.W), VecView{x.data(), static_cast<std::size_t>(k), 1});
        if (!alpha.allFinite()) continue;
        out[j] = NspaceOutcome{Kind::Coefficients, k, std::move(alpha)};
    }
    return out;
}

}  // namespace veltra::resample
