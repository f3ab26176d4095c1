#include "veltra/component_block.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "veltra/component_loop.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/selection.hpp"
#include "xs_block_products.hpp"

namespace veltra {
namespace {

// Responses fitted together: enough that each entry of X, once loaded,
// serves many; few enough that the vectors of a block stay small. Every
// block has this many lanes (a smaller one leaves some empty), so that the
// loops over the lanes have a fixed length.
constexpr std::size_t block_width = 16;
static_assert(block_width % detail::block_lanes == 0);
using Lanes = double[block_width];

// Rows of a block per run of a pass: a run of every lane stays in the
// first-level cache while each lane's own vector takes its entries.
constexpr std::size_t run_rows = 64;

// The loop of pls1_component_loop for a block of responses. Its p- and
// n-vectors are held as block matrices with one lane per response (entry j
// of lane l at j * ld + l), so that the vector steps run over all responses
// at once; each lane does the operations of its own loop, in its order. A
// lane that stops is zero in the products from then on. The weights and
// loadings of each lane also go to its own column-major p x k matrices, the
// models its coefficients are formed from. The buffers are one allocation,
// reused by every block of a call.
struct BlockLoop {
    MatView x;
    static constexpr std::size_t ld = block_width;
    std::size_t n = 0, p = 0, k = 0, lanes = 0, width = 0;
    std::optional<std::size_t> keep;
    std::unique_ptr<double[]> mem;  // every entry is written before it is read
    double* y = nullptr;            // n x ld: the responses
    double* yl = nullptr;           // the responses one after another
    double* c = nullptr;            // p x ld: the deflated X'y
    double* g = nullptr;            // p x ld: X't
    double* w = nullptr;            // p x ld: the weights of a selection
    double *r = nullptr, *pl = nullptr;     // k blocks of p x ld: R and P
    double* t = nullptr;                    // n x ld: the scores
    double *wl = nullptr, *pll = nullptr;   // the models: W and P of every lane
    std::vector<double> q;                  // k x ld: the y loadings
    // Per lane: the weight floor, the sum of squares of c, 1 / ||c||, 1 / tt
    // and tt q.
    std::vector<double> eps_w, ss, inv, factor, step;
    std::vector<std::size_t> k_used;
    std::vector<char> live;

    double* block(double* m, std::size_t a) const { return m + a * p * ld; }
    double* model(double* m, std::size_t lane, std::size_t a) const {
        return m + (lane * k + a) * p;
    }
    bool selects() const { return keep && *keep < p; }
    Eigen::VectorXd lane_of(const double* m, std::size_t rows, std::size_t lane) const {
        Eigen::VectorXd out(to_index(rows));
        for (std::size_t j = 0; j < rows; ++j) out[to_index(j)] = m[j * ld + lane];
        return out;
    }
    void zero_dead(double* m, std::size_t rows) const {
        if (std::find(live.begin(), live.end(), 0) == live.end()) return;
        for (std::size_t lane = 0; lane < ld; ++lane)
            if (!live[lane])
                for (std::size_t j = 0; j < rows; ++j) m[j * ld + lane] = 0.0;
    }
    bool any_live() const { return std::find(live.begin(), live.end(), 1) != live.end(); }
};

// body(j0, j1) over the rows of a p-vector in runs.
template <class Body>
void by_runs(std::size_t p, Body&& body) {
    for (std::size_t j0 = 0; j0 < p; j0 += run_rows) body(j0, std::min(j0 + run_rows, p));
}

// Doubles of a loop's buffers.
std::uint64_t loop_doubles(std::uint64_t n, std::uint64_t p, std::uint64_t k, std::uint64_t ld) {
    const std::uint64_t blocks =
        sat_add(sat_add(sat_mul(3, n), sat_mul(3, p)), sat_mul(sat_mul(4, k), p));
    return sat_add(sat_mul(blocks, ld), sat_mul(sat_add(k, 8), ld));
}

BlockLoop make_loop(MatView xs, std::size_t k, std::optional<std::size_t> keep,
                    std::size_t lanes) {
    BlockLoop s;
    s.x = xs, s.n = xs.rows, s.p = xs.cols, s.k = k, s.keep = keep;
    s.lanes = detail::block_vector_lanes(lanes);
    constexpr std::size_t ld = BlockLoop::ld;
    const std::size_t n = s.n, p = s.p, kp = k * p * ld;
    s.mem = std::make_unique_for_overwrite<double[]>(3 * n * ld + 3 * p * ld + 4 * kp);
    double* m = s.mem.get();
    auto take = [&m](std::size_t len) { return std::exchange(m, m + len); };
    s.y = take(n * ld), s.yl = take(n * ld), s.c = take(p * ld), s.g = take(p * ld);
    s.w = take(p * ld), s.r = take(kp), s.pl = take(kp), s.wl = take(kp), s.pll = take(kp);
    s.t = take(n * ld);
    return s;
}

// Responses [lo, lo + width) of ys: their lanes, cross products X'y with
// their sums of squares, and weight floors.
void start(BlockLoop& s, MatView ys, std::size_t lo, std::size_t width, double fro) {
    const std::size_t n = s.n, p = s.p, ld = s.ld;
    s.width = width;
    std::fill(s.y, s.y + n * ld, 0.0);
    s.eps_w.assign(ld, 0.0);
    for (std::size_t lane = 0; lane < width; ++lane) {
        const VecView col{ys.data + static_cast<std::ptrdiff_t>(lo + lane) * ys.col_stride, n,
                          ys.row_stride};
        for (std::size_t i = 0; i < n; ++i) s.y[i * ld + lane] = s.yl[lane * n + i] = col[i];
        // The rounding floor of a component relative to ||X_s||_F ||y_s||.
        const double eps_raw =
            stable_norm(col) * ((static_cast<double>(std::max(n, p)) / 4503599627370496.0) * fro);
        s.eps_w[lane] = eps_raw >= component_floor ? eps_raw : component_floor;
    }
    detail::xt_times_block(s.x, s.y, ld, s.c, s.lanes);
    Lanes ss = {};
    for (std::size_t j = 0; j < p; ++j) {
        const double* __restrict cj = s.c + j * block_width;
        for (std::size_t lane = 0; lane < block_width; ++lane) ss[lane] += cj[lane] * cj[lane];
    }
    s.ss.assign(ss, ss + block_width);
    s.q.assign(s.k * ld, 0.0);
    s.inv.assign(ld, 0.0), s.factor.assign(ld, 0.0), s.step.assign(ld, 0.0);
    s.k_used.assign(ld, 0);
    s.live.assign(ld, 0);
    std::fill(s.live.begin(), s.live.begin() + static_cast<std::ptrdiff_t>(width), 1);
}

// The scale 1 / ||w|| of w = c, for a lane whose norm reaches its floor;
// the others stop. The norm is stable_norm's: the root of the sum of
// squares in index order, unless the sum is small enough to have lost bits
// or infinite, when stable_norm itself takes the lane.
void scale_weights(BlockLoop& s) {
    std::fill(s.inv.begin(), s.inv.end(), 0.0);
    for (std::size_t lane = 0; lane < s.width; ++lane) {
        if (!s.live[lane]) continue;
        const double sum = s.ss[lane];
        const double norm = std::isnan(sum) || (std::isfinite(sum) && sum >= safe_low)
                                ? std::sqrt(sum)
                                : stable_norm(VecView::of(s.lane_of(s.c, s.p, lane)));
        s.live[lane] = norm >= s.eps_w[lane];
        if (s.live[lane]) s.inv[lane] = 1.0 / norm;
    }
}

// The weights of keep's selection, each lane by select_and_normalize.
void select_weights(BlockLoop& s) {
    const std::size_t p = s.p, ld = s.ld;
    std::copy(s.c, s.c + p * ld, s.w);
    for (std::size_t lane = 0; lane < s.width; ++lane) {
        if (!s.live[lane]) continue;
        Eigen::VectorXd v = s.lane_of(s.w, p, lane);
        s.live[lane] = select_and_normalize(v, s.keep, s.eps_w[lane]);
        if (s.live[lane])
            for (std::size_t j = 0; j < p; ++j) s.w[j * ld + lane] = v[to_index(j)];
    }
    s.zero_dead(s.w, p);
}

// Row j of this component's weights: c_j / ||c|| as select_and_normalize
// scales it, or the selection's.
void weight_row(const BlockLoop& s, std::size_t j, Lanes& out) {
    constexpr std::size_t ld = BlockLoop::ld;
    if (s.selects()) {
        std::copy_n(s.w + j * ld, ld, out);
        return;
    }
    const double* __restrict c = s.c + j * ld;
    for (std::size_t lane = 0; lane < ld; ++lane) out[lane] = c[lane] * s.inv[lane];
}

// The weights of component a into the models, and the rotation's products
// d_b = P_b'w (b < a), each summed in index order as rotation() forms them;
// for the first component the rotation itself, r = w.
std::vector<double> weigh(BlockLoop& s, std::size_t a) {
    constexpr std::size_t ld = BlockLoop::ld;
    const std::size_t p = s.p;
    if (s.selects()) select_weights(s);
    else scale_weights(s);
    std::vector<double> d(a * ld, 0.0);
    Lanes run[run_rows];  // the weights of the rows of a run
    by_runs(p, [&](std::size_t j0, std::size_t j1) {
        for (std::size_t j = j0; j < j1; ++j) weight_row(s, j, run[j - j0]);
        if (a == 0) std::copy_n(&run[0][0], (j1 - j0) * ld, s.r + j0 * ld);
        for (std::size_t b = 0; b < a; ++b) {
            Lanes sum;
            std::copy_n(d.data() + b * ld, ld, sum);
            const double* pb = s.block(s.pl, b);
            for (std::size_t j = j0; j < j1; ++j)
                for (std::size_t lane = 0; lane < ld; ++lane)
                    sum[lane] += pb[j * ld + lane] * run[j - j0][lane];
            std::copy_n(sum, ld, d.data() + b * ld);
        }
        for (std::size_t lane = 0; lane < s.width; ++lane) {
            double* out = s.model(s.wl, lane, a);
            for (std::size_t j = j0; j < j1; ++j) out[j] = run[j - j0][lane];
        }
    });
    if (a == 0) s.zero_dead(s.r, p);
    return d;
}

// r = w - R_a d over the first a > 0 components, as rotation() does.
void rotate(BlockLoop& s, std::size_t a, const std::vector<double>& d) {
    constexpr std::size_t ld = BlockLoop::ld;
    const std::size_t p = s.p;
    double* r = s.block(s.r, a);
    Lanes wj, sum;
    for (std::size_t j = 0; j < p; ++j) {
        std::fill_n(sum, ld, 0.0);
        for (std::size_t b = 0; b < a; ++b) {
            const double* __restrict rb = s.block(s.r, b) + j * ld;
            const double* __restrict db = d.data() + b * ld;
            for (std::size_t lane = 0; lane < ld; ++lane) sum[lane] += rb[lane] * db[lane];
        }
        weight_row(s, j, wj);
        for (std::size_t lane = 0; lane < ld; ++lane) r[j * ld + lane] = wj[lane] - sum[lane];
    }
    s.zero_dead(r, p);
}

// t = X r; a lane whose tt falls below the floor stops, the others get
// their y loading q = y't / tt and the step tt q of the deflation.
void score(BlockLoop& s, std::size_t a) {
    const std::size_t n = s.n;
    detail::x_times_block(s.x, s.block(s.r, a), s.ld, s.t, s.lanes);
    std::fill(s.factor.begin(), s.factor.end(), 0.0);
    std::fill(s.step.begin(), s.step.end(), 0.0);
    Eigen::VectorXd t(to_index(n));
    for (std::size_t lane = 0; lane < s.width; ++lane) {
        if (!s.live[lane]) continue;
        for (std::size_t i = 0; i < n; ++i) t[to_index(i)] = s.t[i * s.ld + lane];
        const double tt = sum_of_squares_pairwise(t.data(), n);
        s.live[lane] = gate_on_floor(tt) == Gate::Accept;
        if (!s.live[lane]) continue;
        const double q = dot(VecView{s.yl + lane * n, n, 1}, VecView::of(t)) * (1.0 / tt);
        s.factor[lane] = 1.0 / tt;
        s.step[lane] = tt * q;
        s.q[a * s.ld + lane] = q;
        s.k_used[lane] = a + 1;
    }
}

// p = X't / tt into the P block (while later rotations need it) and the
// models, and the deflation c <- c - (tt q) p with the new sums of squares.
void load(BlockLoop& s, std::size_t a) {
    const std::size_t p = s.p, ld = s.ld;
    detail::xt_times_block(s.x, s.t, ld, s.g, s.lanes);
    const bool keep_block = a + 1 < s.k;
    double* pa = s.block(s.pl, a);
    Lanes ss = {}, factor, step;
    std::copy_n(s.factor.begin(), block_width, factor);
    std::copy_n(s.step.begin(), block_width, step);
    Lanes run[run_rows];  // the loadings of the rows of a run
    by_runs(p, [&](std::size_t j0, std::size_t j1) {
        for (std::size_t j = j0; j < j1; ++j) {
            const double* __restrict g = s.g + j * block_width;
            double* __restrict c = s.c + j * block_width;
            double* __restrict v = run[j - j0];
            for (std::size_t lane = 0; lane < block_width; ++lane) {
                v[lane] = g[lane] * factor[lane];
                const double cj = c[lane] - step[lane] * v[lane];
                c[lane] = cj;
                ss[lane] += cj * cj;
            }
        }
        if (keep_block) std::copy_n(&run[0][0], (j1 - j0) * ld, pa + j0 * ld);
        for (std::size_t lane = 0; lane < s.width; ++lane) {
            double* out = s.model(s.pll, lane, a);
            for (std::size_t j = j0; j < j1; ++j) out[j] = run[j - j0][lane];
        }
    });
    s.ss.assign(ss, ss + block_width);
}

// Each response's coefficients W (P'W)^-1 Q from its models.
void finish(BlockLoop& s, Eigen::MatrixXd& coef, std::size_t lo) {
    const std::size_t p = s.p, k = s.k, ld = s.ld;
    for (std::size_t lane = 0; lane < s.width; ++lane) {
        const MatView wv = MatView::col_major(s.model(s.wl, lane, 0), p, k);
        const MatView pv = MatView::col_major(s.model(s.pll, lane, 0), p, k);
        const VecView qv{s.q.data() + lane, k, static_cast<std::ptrdiff_t>(ld)};
        coef.col(to_index(lo + lane)) = pls1_coef_at_k(wv, pv, qv, s.k_used[lane]);
    }
}

}  // namespace

Eigen::MatrixXd pls1_coef_prepared_block(MatView xs, MatView ys, std::size_t k,
                                         std::optional<std::size_t> keep, double fro,
                                         std::size_t max_lanes) {
    internal_check(ys.rows == xs.rows, "pls1_coef_prepared_block: ys and X_s differ in rows");
    const std::size_t b = ys.cols;
    Eigen::MatrixXd coef(to_index(xs.cols), to_index(b));
    if (b == 0) return coef;
    BlockLoop s = make_loop(xs, k, keep, max_lanes);
    for (std::size_t lo = 0; lo < b; lo += block_width) {
        start(s, ys, lo, std::min(block_width, b - lo), fro);
        for (std::size_t a = 0; a < k; ++a) {
            const std::vector<double> d = weigh(s, a);
            if (!s.any_live()) break;
            if (a > 0) rotate(s, a, d);
            score(s, a);
            if (!s.any_live()) break;
            load(s, a);
        }
        finish(s, coef, lo);
    }
    return coef;
}

std::uint64_t prepared_block_fit_bytes(std::uint64_t rows, std::uint64_t p, std::uint64_t k,
                                       std::uint64_t b) {
    const std::uint64_t p8 = ceil8(p), r8 = ceil8(rows);
    const std::uint64_t ld = block_width;
    // The loop's buffers; the coefficients; a lane copied out with a
    // selection's ranks, and one model's coefficient products.
    std::uint64_t doubles = sat_add(loop_doubles(r8, p8, k, ld), sat_mul(p8, b));
    doubles = sat_add(doubles, sat_add(sat_add(sat_mul(3, p8), r8),
                                       sat_mul(2, sat_add(p8, sat_mul(k, k)))));
    return sat_mul(doubles, 8);
}

}  // namespace veltra
