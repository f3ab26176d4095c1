#include "veltra/component_block.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/selection.hpp"
#include "xs_block_products.hpp"

namespace veltra {
namespace {

// The loop state of one response: what pls1_component_loop holds for it.
struct Response {
    PreparedFit fit;          // W, R, P, Q and T with k columns until the end
    Eigen::VectorXd y;        // y_s
    Eigen::VectorXd c;        // the deflated X_s'y_s
    Eigen::VectorXd w, r, t;  // the weight, rotation and score of this component
    double eps_w = 0.0;
    double tt = 0.0;
};

// The products of one block: its n x ld and p x ld matrices and their width.
struct Products {
    MatView x;
    std::size_t lanes;
    std::vector<double> rows, cols;
    std::size_t ld = 0;

    void size_for(std::size_t width) {
        ld = detail::block_ld(width);
        rows.resize(x.rows * ld);
        cols.resize(x.cols * ld);
    }
    void x_times() { detail::x_times_block(x, cols.data(), ld, rows.data(), lanes); }
    void xt_times() { detail::xt_times_block(x, rows.data(), ld, cols.data(), lanes); }
};

// Response c of ys with its cross-product column (column c of the block's
// X'Y) and the loop's zero model; the weight floor of pls1_component_loop.
Response start(VecView y, const Products& pr, std::size_t c, std::size_t k, double fro) {
    const std::size_t n = pr.x.rows, p = pr.x.cols;
    Response r;
    r.y = y.eigen();
    r.c.resize(to_index(p));
    for (std::size_t j = 0; j < p; ++j) r.c[to_index(j)] = pr.cols[j * pr.ld + c];
    const double y_norm = stable_norm(y);
    const double eps_raw =
        y_norm * ((static_cast<double>(std::max(n, p)) / 4503599627370496.0) * fro);
    r.eps_w = eps_raw >= component_floor ? eps_raw : component_floor;
    r.fit.W = Eigen::MatrixXd::Zero(to_index(p), to_index(k));
    r.fit.R = Eigen::MatrixXd::Zero(to_index(p), to_index(k));
    r.fit.P = Eigen::MatrixXd::Zero(to_index(p), to_index(k));
    r.fit.Q = Eigen::VectorXd::Zero(to_index(k));
    r.fit.T = Eigen::MatrixXd::Zero(to_index(n), to_index(k));
    return r;
}

// The weight and rotation of component a for every live response; those
// whose weight falls below the floor stop. Returns the responses still live.
std::vector<std::size_t> weigh(std::vector<Response>& rs, const std::vector<std::size_t>& live,
                               std::optional<std::size_t> keep, std::size_t a) {
    std::vector<std::size_t> out;
    for (const std::size_t i : live) {
        Response& r = rs[i];
        r.w = r.c;
        if (!select_and_normalize(r.w, keep, r.eps_w)) continue;
        r.r = rotation(r.w, r.fit.R, r.fit.P, a);
        out.push_back(i);
    }
    return out;
}

// The scores t = X_s r of the live responses and their squared norms;
// those below the floor stop. Returns the responses still live.
std::vector<std::size_t> score(std::vector<Response>& rs, const std::vector<std::size_t>& live,
                               Products& pr) {
    const std::size_t n = pr.x.rows, p = pr.x.cols;
    pr.size_for(live.size());
    std::fill(pr.cols.begin(), pr.cols.end(), 0.0);
    for (std::size_t q = 0; q < live.size(); ++q)
        for (std::size_t j = 0; j < p; ++j) pr.cols[j * pr.ld + q] = rs[live[q]].r[to_index(j)];
    pr.x_times();
    std::vector<std::size_t> out;
    for (std::size_t q = 0; q < live.size(); ++q) {
        Response& r = rs[live[q]];
        r.t.resize(to_index(n));
        for (std::size_t i = 0; i < n; ++i) r.t[to_index(i)] = pr.rows[i * pr.ld + q];
        r.tt = sum_of_squares_pairwise(r.t.data(), n);
        if (gate_on_floor(r.tt) == Gate::Accept) out.push_back(live[q]);
    }
    return out;
}

// X_s't for the live responses, then each one's loading, y loading and
// deflation, and component a stored.
void load(std::vector<Response>& rs, const std::vector<std::size_t>& live, Products& pr,
          std::size_t a) {
    const std::size_t n = pr.x.rows, p = pr.x.cols;
    pr.size_for(live.size());
    std::fill(pr.rows.begin(), pr.rows.end(), 0.0);
    for (std::size_t q = 0; q < live.size(); ++q)
        for (std::size_t i = 0; i < n; ++i) pr.rows[i * pr.ld + q] = rs[live[q]].t[to_index(i)];
    pr.xt_times();
    Eigen::VectorXd p_a(to_index(p));
    for (std::size_t q = 0; q < live.size(); ++q) {
        Response& r = rs[live[q]];
        const double factor = 1.0 / r.tt;
        for (std::size_t j = 0; j < p; ++j) p_a[to_index(j)] = pr.cols[j * pr.ld + q] * factor;
        const double q_a = dot(VecView::of(r.y), VecView::of(r.t)) * (1.0 / r.tt);
        const double f = r.tt * q_a;
        for (std::size_t j = 0; j < p; ++j) r.c[to_index(j)] -= f * p_a[to_index(j)];
        const auto col = to_index(a);
        r.fit.W.col(col) = r.w;
        r.fit.R.col(col) = r.r;
        r.fit.P.col(col) = p_a;
        r.fit.Q[col] = q_a;
        r.fit.T.col(col) = r.t;
        r.fit.k_used = a + 1;
    }
}

// The fit trimmed to its components, with its coefficients.
PreparedFit finish(Response& r) {
    PreparedFit out = std::move(r.fit);
    const Eigen::Index used = to_index(out.k_used);
    out.W.conservativeResize(Eigen::NoChange, used);
    out.R.conservativeResize(Eigen::NoChange, used);
    out.P.conservativeResize(Eigen::NoChange, used);
    out.Q.conservativeResize(used);
    out.T.conservativeResize(Eigen::NoChange, used);
    out.coef = pls1_coef_at_k(MatView::of(out.W), MatView::of(out.P), VecView::of(out.Q),
                              out.k_used);
    return out;
}

}  // namespace

std::vector<PreparedFit> pls1_fit_prepared_block(MatView xs, MatView ys, std::size_t k,
                                                 std::optional<std::size_t> keep, double fro,
                                                 std::size_t max_lanes) {
    const std::size_t n = xs.rows, b = ys.cols;
    internal_check(ys.rows == n, "pls1_fit_prepared_block: ys and X_s differ in rows");
    Products pr{xs, detail::block_vector_lanes(max_lanes), {}, {}};
    pr.size_for(b);
    std::fill(pr.rows.begin(), pr.rows.end(), 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t c = 0; c < b; ++c) pr.rows[i * pr.ld + c] = ys(i, c);
    pr.xt_times();
    std::vector<Response> rs;
    rs.reserve(b);
    for (std::size_t c = 0; c < b; ++c) {
        const VecView y{ys.data + static_cast<std::ptrdiff_t>(c) * ys.col_stride, n,
                        ys.row_stride};
        rs.push_back(start(y, pr, c, k, fro));
    }
    std::vector<std::size_t> live(b);
    std::iota(live.begin(), live.end(), std::size_t{0});
    for (std::size_t a = 0; a < k && !live.empty(); ++a) {
        live = weigh(rs, live, keep, a);
        if (live.empty()) break;
        live = score(rs, live, pr);
        if (live.empty()) break;
        load(rs, live, pr, a);
    }
    std::vector<PreparedFit> out;
    out.reserve(b);
    for (Response& r : rs) out.push_back(finish(r));
    return out;
}

std::uint64_t prepared_block_fit_bytes(std::uint64_t rows, std::uint64_t p, std::uint64_t k,
                                       std::uint64_t b) {
    const std::uint64_t p8 = ceil8(p), r8 = ceil8(rows);
    // Per response: W, R and P of p x k with one trimmed copy, the scores
    // with theirs; y, t and c, w, r with the loading, the coefficients and
    // the kept-entry ranks.
    const std::uint64_t model = sat_add(sat_mul(sat_mul(4, p8), k), sat_mul(sat_mul(2, r8), k));
    const std::uint64_t loop = sat_add(sat_mul(8, p8), sat_mul(2, r8));
    const std::uint64_t per_response = sat_add(sat_add(model, loop), 16);
    // The two block matrices, b columns rounded up to whole vectors.
    const std::uint64_t block = sat_mul(sat_add(r8, p8), detail::block_ld(b));
    return sat_mul(sat_add(sat_mul(b, per_response), block), 8);
}

}  // namespace veltra
