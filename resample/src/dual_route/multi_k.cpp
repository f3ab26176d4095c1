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

namespace {

// Sizes and norms every column's allowances are built from.
struct KernelScale {
    std::size_t n = 0;
    double F = 0.0, B = 0.0;  // ||Z||_F and the bound on G's largest eigenvalue
    double p = 0.0, nd = 0.0, big = 0.0;
};

// Column j of y set up to run, or its outcome when it cannot: Zero for a
// zero column (or no rows), Unresolved for a k the kernel cannot fit.
void start_column(const KernelScale& s, MatView y, std::size_t j, std::size_t k,
                  KernelColumn& col, NspaceOutcome& out) {
    const std::size_t n = s.n;
    bool zero = true;
    for (std::size_t i = 0; i < n && zero; ++i) zero = y(i, j) == 0.0;
    if (n == 0 || zero) {
        out = outcome(NspaceOutcome::Kind::Zero);
        return;
    }
    if (k == 0 || k >= n) return;  // Unresolved
    col.active = true;
    col.y_res.resize(to_index(n));
    for (std::size_t i = 0; i < n; ++i) col.y_res[to_index(i)] = y(i, j);
    const double ny = stable_norm(VecView::of(col.y_res));
    col.yy = ny * ny;
    col.tol_y = ny * s.F * s.big * eps;
    col.U = col.V = col.W = col.T = Eigen::MatrixXd::Zero(to_index(n), to_index(k));
    col.c = Eigen::VectorXd::Zero(to_index(k));
}

// Component a of one active column from its residual direction r and
// w = G r; the column stops (inactive) at the first check it fails.
void column_step(const KernelScale& s, std::size_t a, double E1, double E2,
                 Eigen::Ref<const Eigen::VectorXd> r, Eigen::Ref<const Eigen::VectorXd> w,
                 KernelColumn& col) {
    const std::size_t n = s.n;
    const double B = s.B;
    const Eigen::Index ai = to_index(a);
    const double gg = dot(r.data(), w.data(), n);
    const double e_old = col.e;
    if (!(gg >= 4.0 * col.yy * (E1 + 8.0 * B * e_old))) {
        col.active = false;
        return;
    }
    const double sq = std::sqrt(std::max(gg, 0.0));
    if (!(sq >= 1e-12 && sq >= 4.0 * col.tol_y)) {
        col.active = false;
        return;
    }
    col.e = e_old + (E1 + 8.0 * B * e_old) * col.yy / gg;
    const Eigen::VectorXd t = w / sq;
    Eigen::VectorXd u = t;
    for (std::size_t l = 0; l < a; ++l) {
        const double f = dot(col.V.col(to_index(l)).data(), u.data(), n);
        u -= f * col.U.col(to_index(l));
    }
    const double h = dot(u.data(), u.data(), n);
    if (!(h >= 1e-12 && gg * h >= 4.0 * col.yy * (E2 + 8.0 * (B * B) * e_old))) {
        col.active = false;
        return;
    }
    col.V.col(ai) = u / h;
    col.c[ai] = dot(col.y_res.data(), u.data(), n) / h;
    col.y_res -= col.c[ai] * u;
    col.W.col(ai) = r / sq;
    col.T.col(ai) = t;
    col.U.col(ai) = u;
}

// Component a of every column still active.
void kernel_step(const NspaceGramView& g, const KernelScale& s, std::size_t a,
                 std::vector<KernelColumn>& cols, std::vector<std::size_t>& active) {
    const std::size_t n = s.n;
    const double F = s.F, ad = static_cast<double>(a);
    const double E1 = F * F * eps * (2.0 * s.nd + s.p + 6.0 * ad * (s.nd + 2.0));
    const double E2 = F * F * (F * F) * eps * (3.0 * s.nd + 2.0 * s.p + 10.0 * ad * (s.nd + 2.0));
    // Only the active columns enter the product: each entry of G R is one
    // running sum over its own column, whatever the others are.
    Eigen::MatrixXd R(to_index(n), to_index(active.size()));
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
    for (std::size_t q = 0; q < active.size(); ++q)
        column_step(s, a, E1, E2, R.col(to_index(q)), Q.col(to_index(q)), cols[active[q]]);
}

// The dual coefficients W (V'T)^-1 c of a column that passed every step;
// none when they are not finite.
std::optional<Eigen::VectorXd> dual_coefficients(const KernelColumn& col, std::size_t k,
                                                 std::size_t n) {
    const Eigen::Index ki = to_index(k);
    Eigen::MatrixXd M(ki, ki);
    for (Eigen::Index i = 0; i < ki; ++i)
        for (Eigen::Index l = 0; l < ki; ++l)
            M(i, l) = dot(col.V.col(i).data(), col.T.col(l).data(), n);
    Eigen::MatrixXd x = col.c;
    lu_solve_in_place(MatView::of(M), x);
    Eigen::VectorXd alpha = seq_gemv(MatView::of(col.W), VecView{x.data(), k, 1});
    if (!alpha.allFinite()) return std::nullopt;
    return alpha;
}

}  // namespace

std::vector<NspaceOutcome> nspace_kernel_cols(const NspaceGramView& g, MatView y, std::size_t k) {
    const std::size_t n = g.gram.rows, m = y.cols;
    std::vector<NspaceOutcome> out(m);
    if (y.rows != n || g.gram.cols != n) return out;  // every column Unresolved

    const KernelScale s{n,
                        g.fro_norm,
                        g.norm_bound,
                        static_cast<double>(g.n_features),
                        static_cast<double>(n),
                        static_cast<double>(std::max<std::uint64_t>(n, g.n_features))};
    std::vector<KernelColumn> cols(m);
    for (std::size_t j = 0; j < m; ++j) start_column(s, y, j, k, cols[j], out[j]);
    std::vector<std::size_t> active;
    for (std::size_t a = 0; a < k; ++a) {
        active.clear();
        for (std::size_t j = 0; j < m; ++j)
            if (cols[j].active) active.push_back(j);
        if (active.empty()) break;
        kernel_step(g, s, a, cols, active);
    }
    for (std::size_t j = 0; j < m; ++j) {
        if (!cols[j].active) continue;
        if (auto alpha = dual_coefficients(cols[j], k, n))
            out[j] = NspaceOutcome{NspaceOutcome::Kind::Coefficients, k, std::move(*alpha)};
    }
    return out;
}

}  // namespace veltra::resample
