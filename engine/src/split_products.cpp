// The no-refit products of a unit in one pass per block of eight columns:
// the training rows are gathered once for their moments (the
// standardisation's own kernel, so every mean and scale has the bits of the
// refit's), and the same gathered values then give Z_train' Y and the
// centring residual; the test rows are read once for Z_test (Z_train' Y) and
// their norms. Neither standardised block is written.
//
// A standardised entry is z = f (x - mean) / scale, f the row factor. With
// t the power of two that brings the scale into [1, 4) and ŝ = scale t,
// d = (x - mean) t is exact wherever z is normal, and z = f d / ŝ. So each
// sum over rows runs on d and the per-column division comes once per sum:
//   (Z_train' Y)_jc = (Σ_i d_ij f_i Y_ic) / ŝ_j,
//   P_ic = f_i Σ_j d_ij ((Z_train' Y)_jc / ŝ_j).
// Every term keeps the magnitude of its standardised counterpart. Against
// the written blocks (z carries two roundings, Y one) a training term
// d_i (f_i Y_ic) / ŝ_j is within 4u of z_ij Y_ic (u = eps / 2: the factor
// f Y, the product, the division); a sum of m terms in any order is within
// (m - 1) u of its exact value times the sum of the terms' magnitudes. So
// Z_train' Y is within (m + 4) u |Z_train|' |Y| of the exact product of the
// written blocks, and the prediction, with p terms per entry and the
// rounding of d, of the two divisions and of the row factor, within about
// (m + p + 8) u |Z_test| |Z_train|' |Y|: inside the certification's
// (p + m + 4) eps ||Z_train|| ||Z_test|| ||Y|| (eps = 2u) for any m and p.
// The test block's norm is a plain sum of squares of d / ŝ, relative error
// about (nt + p) u, far inside the certification's margins.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "column_moments.hpp"
#include "simd2.hpp"
#include "veltra/error.hpp"
#include "veltra/numeric.hpp"
#include "veltra/row_split.hpp"

namespace veltra {

namespace {

using detail::block_width;
using detail::load2;
using detail::splat;
using detail::store2;
using detail::v2d;

using Block = std::array<const double*, block_width>;

// d = (x - mean) t and z = f d / shat for one column.
struct ColumnScale {
    double mean;
    double t;
    double shat;
};

// A scale is normal or NaN; a NaN one stays in shat, so that every product
// of its column is NaN.
ColumnScale column_scale(const detail::ColumnStats& st) {
    const double t = detail::prescale_of(st.scale).inv_s;
    return {st.mean, t, st.scale * t};
}

// Σ_i d_i v_i and, with `residual`, Σ_i d_i g_i (Σ_i d_i when g is null)
// over the n values of one column: four rows at a time in two two-lane
// accumulators each, the lanes added at the end.
template <bool residual>
void column_sums(const double* x, std::size_t n, const ColumnScale& cs, const double* v,
                 const double* g, double& dv, double& dg) {
    const v2d mean = splat(cs.mean), t = splat(cs.t);
    v2d a0 = splat(0.0), a1 = a0, r0 = a0, r1 = a0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const v2d d0 = (load2(x + i) - mean) * t, d1 = (load2(x + i + 2) - mean) * t;
        a0 += d0 * load2(v + i);
        a1 += d1 * load2(v + i + 2);
        if constexpr (residual) {
            r0 += g ? d0 * load2(g + i) : d0;
            r1 += g ? d1 * load2(g + i + 2) : d1;
        }
    }
    const v2d a = a0 + a1, r = r0 + r1;
    double s = a[0] + a[1], q = r[0] + r[1];
    for (; i < n; ++i) {
        const double d = (x[i] - cs.mean) * cs.t;
        s += d * v[i];
        if constexpr (residual) q += g ? d * g[i] : d;
    }
    dv = s;
    if constexpr (residual) dg = q;
}

// The test rows' share of a block of w columns: pred[i] += Σ_j d_ij b_j for
// each of the n test rows and, with q, q[j] = Σ_i g_i d_ij^2 (Σ_i d_ij^2
// when g is null). Two layouts of the same arithmetic: each row's sum is
// (its even columns' terms in order, then an odd w's last column) plus its
// odd columns' terms in order; each column's sum of squares is that of the
// even rows plus that of the odd rows, an odd n's last row added at the end.
struct TestTerms {
    std::size_t w;
    const ColumnScale* cs;
    const double* b;
    const double* g;  // null without test weights
    double* pred;
    double* q;  // null when the squares are not wanted
};

// Gathered columns, two rows at a time.
void test_rows_gathered(const Block& cols, std::size_t n, const TestTerms& tt) {
    const std::size_t w = tt.w;
    const ColumnScale* cs = tt.cs;
    v2d sq[block_width];
    for (std::size_t j = 0; j < w; ++j) sq[j] = splat(0.0);
    const auto term = [&](std::size_t j, v2d x, v2d gi, v2d& acc) {
        const v2d d = (x - splat(cs[j].mean)) * splat(cs[j].t);
        acc += d * splat(tt.b[j]);
        if (tt.q) sq[j] += tt.g ? gi * (d * d) : d * d;
    };
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        v2d even = splat(0.0), odd = splat(0.0);
        const v2d gi = tt.g ? load2(tt.g + i) : splat(1.0);
        for (std::size_t j = 0; j + 1 < w; j += 2) {
            term(j, load2(cols[j] + i), gi, even);
            term(j + 1, load2(cols[j + 1] + i), gi, odd);
        }
        if (w % 2) term(w - 1, load2(cols[w - 1] + i), gi, even);
        store2(tt.pred + i, load2(tt.pred + i) + (even + odd));
    }
    double tail[block_width] = {};
    if (i < n) {
        double acc[2] = {0.0, 0.0};
        for (std::size_t j = 0; j < w; ++j) {
            const double d = (cols[j][i] - cs[j].mean) * cs[j].t;
            acc[j % 2] += d * tt.b[j];
            tail[j] = tt.g ? tt.g[i] * (d * d) : d * d;
        }
        tt.pred[i] += acc[0] + acc[1];
    }
    if (tt.q)
        for (std::size_t j = 0; j < w; ++j) tt.q[j] = (sq[j][0] + sq[j][1]) + tail[j];
}

// A row-major X read in place: each test row's w adjacent entries at once,
// as pairs of columns.
void test_rows_row_major(const double* x, std::ptrdiff_t row_stride, const std::uint64_t* rows,
                         std::size_t n, const TestTerms& tt) {
    const std::size_t w = tt.w, np = w / 2;
    const ColumnScale* cs = tt.cs;
    v2d mean[block_width / 2], t[block_width / 2], b[block_width / 2];
    v2d sq[3][block_width / 2];  // even rows, odd rows, an odd n's last row
    double sq_last[3] = {0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < np; ++k) {
        mean[k] = v2d{cs[2 * k].mean, cs[2 * k + 1].mean};
        t[k] = v2d{cs[2 * k].t, cs[2 * k + 1].t};
        b[k] = v2d{tt.b[2 * k], tt.b[2 * k + 1]};
        sq[0][k] = sq[1][k] = sq[2][k] = splat(0.0);
    }
    const ColumnScale& cl = cs[w - 1];
    for (std::size_t i = 0; i < n; ++i) {
        const double* r = x + static_cast<std::ptrdiff_t>(rows[i]) * row_stride;
        const std::size_t part = i + 1 == n && n % 2 ? 2 : i % 2;
        const double gi = tt.g ? tt.g[i] : 1.0;
        v2d acc = splat(0.0);
        for (std::size_t k = 0; k < np; ++k) {
            const v2d d = (load2(r + 2 * k) - mean[k]) * t[k];
            acc += d * b[k];
            if (tt.q) sq[part][k] += tt.g ? splat(gi) * (d * d) : d * d;
        }
        double even = acc[0];
        if (w % 2) {
            const double d = (r[w - 1] - cl.mean) * cl.t;
            even += d * tt.b[w - 1];
            if (tt.q) sq_last[part] += tt.g ? gi * (d * d) : d * d;
        }
        tt.pred[i] += even + acc[1];
    }
    if (!tt.q) return;
    for (std::size_t k = 0; k < np; ++k)
        for (std::size_t l = 0; l < 2; ++l)
            tt.q[2 * k + l] = (sq[0][k][l] + sq[1][k][l]) + sq[2][k][l];
    if (w % 2) tt.q[w - 1] = (sq_last[0] + sq_last[1]) + sq_last[2];
}

// Where a block's test rows come from: the gathered columns, or a
// row-major X in place (x null when gathered).
struct TestRows {
    const Block& cols;
    const double* x;
    std::ptrdiff_t row_stride;
    const std::uint64_t* rows;
    std::size_t n;

    void add(const TestTerms& tt) const {
        if (x)
            test_rows_row_major(x, row_stride, rows, n, tt);
        else
            test_rows_gathered(cols, n, tt);
    }
};

// A norm from the norms of its parts, kept as big √ssq with big the largest
// part so far, so that nothing overflows; NaN once a part is NaN.
struct RunningNorm {
    double big = 0.0;
    double ssq = 0.0;

    void add(double v) {
        v = std::fabs(v);
        if (std::isnan(v) || std::isnan(big)) {
            big = std::numeric_limits<double>::quiet_NaN();
        } else if (v > big) {
            ssq = (big == 0.0 ? 0.0 : ssq * (big / v) * (big / v)) + 1.0;
            big = v;
        } else if (v > 0.0) {
            ssq += (v / big) * (v / big);
        }
    }
    double value() const { return big == 0.0 ? 0.0 : big * std::sqrt(ssq); }
};

// What one split's pass keeps besides the prediction.
struct PassState {
    RunningNorm train;         // from the standardisation's norm of each training column
    double residual_sq = 0.0;  // Σ_j (Σ_i f_i z_ij)^2
    double test_sq = 0.0;      // Σ_j Σ_i (f_i z_ij)^2 over the test rows
    bool finite = true;        // every sum of the pass is finite
};

// One block of w columns: moments over the training rows, then Z_train' Y,
// its residual, and the test rows' share of the prediction and of the test
// norm.
void block_pass(const detail::ColumnSource& train, const Block& tr, const TestRows& te,
                std::size_t w, const Eigen::MatrixXd& v,
                const double* g_train, const double* g_test, Eigen::MatrixXd& pred,
                PassState& st) {
    const std::size_t m = train.n;
    const auto C = static_cast<std::size_t>(v.cols());
    std::array<ScaledMoments, block_width> mo{};
    detail::block_moments8(tr, m, train.weights, train.wr, mo);
    std::array<ColumnScale, block_width> cs{};
    for (std::size_t j = 0; j < w; ++j) {
        const detail::ColumnStats stats = detail::scale_rule(mo[j], m);
        st.train.add(stats.term);
        cs[j] = column_scale(stats);
    }
    double b[block_width], q[block_width];
    for (std::size_t k = 0; k < C; ++k) {
        const double* vk = v.col(to_index(k)).data();
        for (std::size_t j = 0; j < w; ++j) {
            double dv = 0.0, dg = 0.0;
            if (k == 0) {
                column_sums<true>(tr[j], m, cs[j], vk, g_train, dv, dg);
                const double r = dg / cs[j].shat;
                st.residual_sq += r * r;
                st.finite = st.finite && std::isfinite(dg);
            } else {
                column_sums<false>(tr[j], m, cs[j], vk, nullptr, dv, dg);
            }
            st.finite = st.finite && std::isfinite(dv);
            b[j] = dv / cs[j].shat / cs[j].shat;
        }
        te.add({w, cs.data(), b, g_test, pred.col(to_index(k)).data(), k == 0 ? q : nullptr});
    }
    for (std::size_t j = 0; j < w && C > 0; ++j) {
        st.finite = st.finite && std::isfinite(q[j]);
        st.test_sq += q[j] / cs[j].shat / cs[j].shat;
    }
}

// Columns gathered at a time: a multiple of the block width whose rows of
// both halves take about 64 KiB, so that they stay in the core's cache
// between the gather and the passes over them, and a row-major X is read
// in runs of adjacent entries.
std::uint64_t gather_span(std::uint64_t rows) {
    const std::uint64_t per_column = 8 * std::max<std::uint64_t>(rows, 1);
    const std::uint64_t span = 65536 / per_column / block_width * block_width;
    return std::max<std::uint64_t>(span, block_width);
}

}  // namespace

SplitProducts split_products(MatView x, const RowSplit& rows, const Eigen::MatrixXd& y_train) {
    const std::size_t m = rows.train.size(), nt = rows.test.size(), p = x.cols;
    const auto C = static_cast<std::size_t>(y_train.cols());
    internal_check(static_cast<std::size_t>(y_train.rows()) == m,
                   "split_products: one response row per training row");
    const SliceWeights& wtr = rows.w_train;
    const SliceWeights& wte = rows.w_test;
    // d_i f_i Y_ic and d_i f_i^2 are the training terms; f_i^2 the test
    // norm's weights.
    Eigen::MatrixXd scaled;
    if (wtr.root) scaled = wtr.root->asDiagonal() * y_train;
    const Eigen::MatrixXd& v = wtr.root ? scaled : y_train;
    Eigen::VectorXd g_train, g_test;
    if (wtr.root) g_train = wtr.root->array().square();
    if (wte.root) g_test = wte.root->array().square();
    const std::optional<VecView> moment_w = wtr.moment_view();
    const detail::ColumnSource train =
        detail::column_source(x, rows.train.data(), m, moment_w ? moment_w->data : nullptr);
    const detail::ColumnSource test = detail::column_source(x, rows.test.data(), nt, nullptr);

    SplitProducts out{Eigen::MatrixXd::Zero(to_index(nt), to_index(C)), 0.0, 0.0, 0.0};
    PassState st;
    const std::size_t span = std::min<std::size_t>(gather_span(m + nt), p);
    // A row-major X whose rows are gathered one block at a time hands its
    // test rows over in place: a block's entries of a row are adjacent, and
    // writing them out first gains nothing. Wider gathers read several
    // adjacent blocks of a row at once, which reading in place per block
    // would not.
    const bool in_place = x.is_row_major() && span <= block_width;
    std::vector<double> train_buf(m * span), test_buf(in_place ? 0 : nt * span);
    for (std::size_t c0 = 0; c0 < p; c0 += span) {
        const std::size_t width = std::min(span, p - c0);
        detail::gather_columns(train, c0, width, train_buf.data());
        if (!in_place) detail::gather_columns(test, c0, width, test_buf.data());
        for (std::size_t c = c0; c < c0 + width; c += block_width) {
            const std::size_t w = std::min(block_width, c0 + width - c);
            Block tr{}, te{};
            for (std::size_t j = 0; j < block_width; ++j) {
                const std::size_t k = c - c0 + (j < w ? j : 0);
                tr[j] = train_buf.data() + k * m;
                te[j] = in_place ? nullptr : test_buf.data() + k * nt;
            }
            const double* gtr = wtr.root ? g_train.data() : nullptr;
            const double* gte = wte.root ? g_test.data() : nullptr;
            const TestRows test_rows{te, in_place ? x.data + c : nullptr, x.row_stride,
                                     rows.test.data(), nt};
            block_pass(train, tr, test_rows, w, v, gtr, gte, out.pred, st);
        }
    }
    if (wte.root)
        for (Eigen::Index k = 0; k < out.pred.cols(); ++k)
            out.pred.col(k).array() *= wte.root->array();
    out.z_tr = st.train.value();
    out.residual = std::sqrt(st.residual_sq);
    // A sum that overflowed or met a non-finite value, or a test block
    // below the range where the plain sum of squares is accurate: nothing
    // of the split can be vouched for.
    const bool usable = st.finite && std::isfinite(st.test_sq) && st.test_sq >= safe_low;
    out.z_te = usable ? std::sqrt(st.test_sq) : std::numeric_limits<double>::quiet_NaN();
    return out;
}

std::uint64_t split_products_bytes(std::uint64_t m, std::uint64_t nt, std::uint64_t columns) {
    // The prediction, the training terms with the row factors, the squared
    // row factors of both halves and the gathered rows of both halves.
    const std::uint64_t rows = sat_add(m, nt);
    const std::uint64_t span = gather_span(rows);
    std::uint64_t bytes = sat_add(block_bytes(nt, columns), block_bytes(m, columns));
    bytes = sat_add(bytes, block_bytes(rows, 1));
    return sat_add(bytes, block_bytes(rows, span));
}

}  // namespace veltra
