#include "xs_products.hpp"

#include <algorithm>

namespace veltra::detail {
namespace {

constexpr std::size_t lanes = 8;

// Bytes of X that one block of rows may span: the fused sweep multiplies a
// block twice, and the second product must find it in the core's cache.
constexpr std::size_t block_bytes = 256 * 1024;

enum class Layout { col, row, strided };

Layout layout_of(const MatView& x) {
    if (x.row_stride == 1) return Layout::col;
    if (x.col_stride == 1) return Layout::row;
    return Layout::strided;
}

// Rows per block. Column-major blocks are whole cache lines of each column
// where the rows allow it (multiples of 8 doubles); a row-major block is a
// run of whole rows.
std::size_t block_rows(Layout layout, std::size_t p) {
    const std::size_t fit = block_bytes / (std::max<std::size_t>(p, 1) * sizeof(double));
    if (layout == Layout::col) return std::clamp<std::size_t>(fit / 8 * 8, 8, 512);
    return std::clamp<std::size_t>(fit, 1, 64);
}

double combine_lanes(const double* s) {
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

// --- X v ------------------------------------------------------------------

double row_dot(const double* __restrict xr, const double* __restrict v, std::size_t p) {
    double s[lanes] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::size_t j = 0;
    for (; j + lanes <= p; j += lanes)
        for (std::size_t l = 0; l < lanes; ++l) s[l] += xr[j + l] * v[j + l];
    for (std::size_t l = 0; j + l < p; ++l) s[l] += xr[j + l] * v[j + l];
    return combine_lanes(s);
}

double strided_dot(const MatView& x, std::size_t i, const double* v) {
    double s[lanes] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < x.cols; ++j) s[j % lanes] += x(i, j) * v[j];
    return combine_lanes(s);
}

// raw[0, b) = (X v) of rows [r0, r0 + b) of a column-major X. acc holds
// lanes * b doubles. While a column is read, the same column's segment of
// the next block (rows [r0 + b, r0 + b + ahead)) is fetched into the cache:
// the segments lie a column apart, too far for the hardware to run ahead.
void col_forward(const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
                 const double* v, double* acc, double* raw) {
    const std::size_t p = x.cols;
    std::fill(acc, acc + lanes * b, 0.0);
    const double* base = x.data + static_cast<std::ptrdiff_t>(r0);
    for (std::size_t l = 0; l < lanes && l < p; ++l) {
        double* __restrict a = acc + l * b;
        for (std::size_t j = l; j < p; j += lanes) {
            const double* __restrict c = base + static_cast<std::ptrdiff_t>(j) * x.col_stride;
            if (ahead > 0) {
                for (std::size_t o = 0; o < ahead; o += 8) __builtin_prefetch(c + b + o, 0, 3);
                __builtin_prefetch(c + b + ahead - 1, 0, 3);
            }
            const double vj = v[j];
            for (std::size_t i = 0; i < b; ++i) a[i] += c[i] * vj;
        }
    }
    for (std::size_t i = 0; i < b; ++i) {
        const double s[lanes] = {acc[i],         acc[b + i],     acc[2 * b + i], acc[3 * b + i],
                                 acc[4 * b + i], acc[5 * b + i], acc[6 * b + i], acc[7 * b + i]};
        raw[i] = combine_lanes(s);
    }
}

// raw[0, b) = (X v) of rows [r0, r0 + b), any layout.
void forward(Layout layout, const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
             const double* v, double* acc, double* raw) {
    switch (layout) {
        case Layout::col:
            col_forward(x, r0, b, ahead, v, acc, raw);
            return;
        case Layout::row:
            for (std::size_t i = 0; i < b; ++i)
                raw[i] = row_dot(x.data + static_cast<std::ptrdiff_t>(r0 + i) * x.row_stride, v,
                                 x.cols);
            return;
        case Layout::strided:
            for (std::size_t i = 0; i < b; ++i) raw[i] = strided_dot(x, r0 + i, v);
            return;
    }
}

// --- X'z ------------------------------------------------------------------
// g[j] continues its running sum over rows [r0, r0 + b) in row order.

void col_transposed(const MatView& x, std::size_t r0, std::size_t b, const double* __restrict z,
                    double* __restrict g) {
    const std::size_t p = x.cols;
    const double* base = x.data + static_cast<std::ptrdiff_t>(r0);
    auto column = [&](std::size_t j) { return base + static_cast<std::ptrdiff_t>(j) * x.col_stride; };
    std::size_t j = 0;
    // Eight columns at once: eight independent running sums.
    for (; j + 8 <= p; j += 8) {
        const double *c0 = column(j), *c1 = column(j + 1), *c2 = column(j + 2),
                     *c3 = column(j + 3), *c4 = column(j + 4), *c5 = column(j + 5),
                     *c6 = column(j + 6), *c7 = column(j + 7);
        double s0 = g[j], s1 = g[j + 1], s2 = g[j + 2], s3 = g[j + 3];
        double s4 = g[j + 4], s5 = g[j + 5], s6 = g[j + 6], s7 = g[j + 7];
        for (std::size_t i = 0; i < b; ++i) {
            const double zi = z[i];
            s0 += c0[i] * zi;
            s1 += c1[i] * zi;
            s2 += c2[i] * zi;
            s3 += c3[i] * zi;
            s4 += c4[i] * zi;
            s5 += c5[i] * zi;
            s6 += c6[i] * zi;
            s7 += c7[i] * zi;
        }
        g[j] = s0, g[j + 1] = s1, g[j + 2] = s2, g[j + 3] = s3;
        g[j + 4] = s4, g[j + 5] = s5, g[j + 6] = s6, g[j + 7] = s7;
    }
    for (; j < p; ++j) {
        const double* c = column(j);
        double s = g[j];
        for (std::size_t i = 0; i < b; ++i) s += c[i] * z[i];
        g[j] = s;
    }
}

void row_transposed(const MatView& x, std::size_t r0, std::size_t b, const double* z,
                    double* __restrict g) {
    const std::size_t p = x.cols;
    auto row = [&](std::size_t i) {
        return x.data + static_cast<std::ptrdiff_t>(r0 + i) * x.row_stride;
    };
    std::size_t r = 0;
    // Eight rows per pass over g, added in row order.
    for (; r + 8 <= b; r += 8) {
        const double *__restrict x0 = row(r), *__restrict x1 = row(r + 1),
                                 *__restrict x2 = row(r + 2), *__restrict x3 = row(r + 3),
                                 *__restrict x4 = row(r + 4), *__restrict x5 = row(r + 5),
                                 *__restrict x6 = row(r + 6), *__restrict x7 = row(r + 7);
        const double z0 = z[r], z1 = z[r + 1], z2 = z[r + 2], z3 = z[r + 3];
        const double z4 = z[r + 4], z5 = z[r + 5], z6 = z[r + 6], z7 = z[r + 7];
        for (std::size_t j = 0; j < p; ++j) {
            double a = g[j];
            a += x0[j] * z0;
            a += x1[j] * z1;
            a += x2[j] * z2;
            a += x3[j] * z3;
            a += x4[j] * z4;
            a += x5[j] * z5;
            a += x6[j] * z6;
            a += x7[j] * z7;
            g[j] = a;
        }
    }
    for (; r < b; ++r) {
        const double* __restrict xr = row(r);
        const double zr = z[r];
        for (std::size_t j = 0; j < p; ++j) g[j] += xr[j] * zr;
    }
}

void transposed(Layout layout, const MatView& x, std::size_t r0, std::size_t b, const double* z,
                double* g) {
    switch (layout) {
        case Layout::col:
            col_transposed(x, r0, b, z, g);
            return;
        case Layout::row:
            row_transposed(x, r0, b, z, g);
            return;
        case Layout::strided:
            for (std::size_t i = 0; i < b; ++i)
                for (std::size_t j = 0; j < x.cols; ++j) g[j] += x(r0 + i, j) * z[i];
            return;
    }
}

// --- sweeps ---------------------------------------------------------------

double apply_map(const ScoreMap& map, double raw, std::size_t i) {
    double t = map.centre ? raw - map.offset : raw;
    if (map.mult) t *= map.mult[i];
    return t;
}

// Adds the part sums into g in part order, each column by one task.
void combine_parts(const std::vector<double>& part_sums, std::size_t p, double* g, Par par) {
    for_each_part(par, p, [&](std::size_t, IndexSpan cols) {
        for (std::size_t j = cols.begin; j < cols.end; ++j) {
            double s = part_sums[j];
            for (std::size_t k = 1; k < fixed_parts; ++k) s += part_sums[k * p + j];
            g[j] = s;
        }
    });
}

// The transposed product over the fixed row parts. With v given, each block
// of rows first gets its scores (X v mapped by `map`), and z is formed from
// them; otherwise z comes from z_in.
void sweep(const MatView& x, const double* v, const ScoreMap* map, double* t, const double* z_in,
           double* g, Par par, ProductScratch& scratch) {
    const std::size_t n = x.rows, p = x.cols;
    const Layout layout = layout_of(x);
    // Without the forward product nothing is read twice: a column-major part
    // then streams each column segment whole.
    const std::size_t rows_per_block =
        !v && layout == Layout::col ? std::max<std::size_t>(n, 1) : block_rows(layout, p);
    const std::size_t per_part = (lanes + 2) * rows_per_block;
    scratch.part_sums.assign(fixed_parts * p, 0.0);
    if (v) scratch.block.resize(fixed_parts * per_part);
    for_each_part(par, n, [&](std::size_t part, IndexSpan rows) {
        double* gp = scratch.part_sums.data() + part * p;
        double* acc = v ? scratch.block.data() + part * per_part : nullptr;
        for (std::size_t r0 = rows.begin; r0 < rows.end; r0 += rows_per_block) {
            const std::size_t b = std::min(rows_per_block, rows.end - r0);
            const double* z = z_in ? z_in + r0 : nullptr;
            if (v) {
                double* raw = acc + lanes * rows_per_block;
                double* zb = raw + rows_per_block;
                const std::size_t next = r0 + b;
                const std::size_t ahead =
                    next < rows.end ? std::min(rows_per_block, rows.end - next) : 0;
                forward(layout, x, r0, b, ahead, v, acc, raw);
                for (std::size_t i = 0; i < b; ++i) {
                    const double ti = apply_map(*map, raw[i], r0 + i);
                    t[r0 + i] = ti;
                    zb[i] = map->mult ? map->mult[r0 + i] * ti : ti;
                }
                z = zb;
            }
            transposed(layout, x, r0, b, z, gp);
        }
    });
    combine_parts(scratch.part_sums, p, g, par);
}

}  // namespace

void x_times(const MatView& x, const double* v, double* out, Par par) {
    const Layout layout = layout_of(x);
    const std::size_t rows_per_block = block_rows(layout, x.cols);
    // Rows do not share sums, so any cut gives the same bits.
    for_each_part(par, x.rows, [&](std::size_t, IndexSpan rows) {
        std::vector<double> acc(layout == Layout::col ? lanes * rows_per_block : 0);
        for (std::size_t r0 = rows.begin; r0 < rows.end; r0 += rows_per_block) {
            const std::size_t b = std::min(rows_per_block, rows.end - r0);
            const std::size_t next = r0 + b;
            const std::size_t ahead =
                next < rows.end ? std::min(rows_per_block, rows.end - next) : 0;
            forward(layout, x, r0, b, ahead, v, acc.data(), out + r0);
        }
    });
}

void xt_times(const MatView& x, const double* z, double* g, Par par, ProductScratch& scratch) {
    sweep(x, nullptr, nullptr, nullptr, z, g, par, scratch);
}

void x_times_then_xt(const MatView& x, const double* v, const ScoreMap& map, double* t, double* g,
                     Par par, ProductScratch& scratch) {
    sweep(x, v, &map, t, nullptr, g, par, scratch);
}

}  // namespace veltra::detail
