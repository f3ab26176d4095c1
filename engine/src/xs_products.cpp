#include "xs_products.hpp"

#include <algorithm>
#include <cstring>

namespace veltra::detail {
namespace {

// Two doubles, as one SSE2 or NEON register; every operation is the scalar
// IEEE operation on each half, so vector and scalar code give the same bits.
typedef double v2d __attribute__((vector_size(16)));

v2d load2(const double* p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void store2(double* p, v2d v) { std::memcpy(p, &v, sizeof v); }
v2d splat(double a) { return v2d{a, a}; }

// Bytes of X that one block of rows may span: the fused sweep multiplies a
// block twice, and the second product must find it in the core's cache. A
// column-major block is read as one segment per column, and short segments
// waste memory bandwidth: its blocks are larger, at the price of being
// found partly in the shared cache rather than the core's own.
constexpr std::size_t row_block_bytes = 128 * 1024;
constexpr std::size_t col_block_bytes = 768 * 1024;
// Columns of a column-major block handled together, so that the rows of a
// register tile walk an L1-sized panel.
constexpr std::size_t panel = 64;

enum class Layout { col, row, strided };

Layout layout_of(const MatView& x) {
    if (x.row_stride == 1) return Layout::col;
    if (x.col_stride == 1) return Layout::row;
    return Layout::strided;
}

// Rows per block of the fused sweep: even, so that every block of a part
// starts on an even row offset.
std::size_t block_rows(Layout layout, std::size_t p) {
    const std::size_t row_bytes = std::max<std::size_t>(p, 1) * sizeof(double);
    if (layout == Layout::col)
        return std::clamp<std::size_t>(col_block_bytes / row_bytes / 8 * 8, 8, 512);
    // At least eight rows: the forward product needs eight independent sums.
    return std::clamp<std::size_t>(row_block_bytes / row_bytes / 2 * 2, 8, 64);
}

const double* column_of(const MatView& x, std::size_t r0, std::size_t j) {
    return x.data + static_cast<std::ptrdiff_t>(j) * x.col_stride + static_cast<std::ptrdiff_t>(r0);
}
const double* row_of(const MatView& x, std::size_t i) {
    return x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride;
}

// --- X v: raw[i] = S_even + S_odd over the columns of rows [r0, r0 + b) ---

// The next block is fetched into the cache while this one is multiplied:
// rows [0, split) of it during the forward product, the rest during the
// transposed one, so that memory is busy in both. `ahead` is the number of
// rows of the next block (0 when there is none).
std::size_t fetch_split(std::size_t b) { return (b / 2 + 7) / 8 * 8; }

// Column-major. acc holds 2 b doubles: the even-column sums, then the odd.
// Register tiles of 8 rows walk a panel of columns; the tiles below `split`
// fetch their rows of the next block, in each column the lines of its first
// and last row. (The segments of a block lie a column apart, too far for the
// hardware to run ahead on its own.)
void col_forward(const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
                 std::size_t split, const double* v, double* acc, double* raw) {
    const std::size_t p = x.cols;
    double* even = acc;
    double* odd = acc + b;
    std::fill(acc, acc + 2 * b, 0.0);
    for (std::size_t jp = 0; jp < p; jp += panel) {
        const std::size_t je = std::min(jp + panel, p);
        std::size_t i = 0;
        for (; i + 8 <= b; i += 8) {
            v2d e0 = load2(even + i), e1 = load2(even + i + 2), e2 = load2(even + i + 4),
                e3 = load2(even + i + 6);
            v2d o0 = load2(odd + i), o1 = load2(odd + i + 2), o2 = load2(odd + i + 4),
                o3 = load2(odd + i + 6);
            const bool fetch = i < ahead && i < split;
            std::size_t j = jp;
            for (; j + 2 <= je; j += 2) {
                const double* c0 = column_of(x, r0 + i, j);
                const double* c1 = column_of(x, r0 + i, j + 1);
                if (fetch) {
                    __builtin_prefetch(c0 + b, 0, 3);
                    __builtin_prefetch(c1 + b, 0, 3);
                    __builtin_prefetch(c0 + b + 7, 0, 3);
                    __builtin_prefetch(c1 + b + 7, 0, 3);
                }
                const v2d s0 = splat(v[j]), s1 = splat(v[j + 1]);
                e0 += load2(c0) * s0;
                e1 += load2(c0 + 2) * s0;
                e2 += load2(c0 + 4) * s0;
                e3 += load2(c0 + 6) * s0;
                o0 += load2(c1) * s1;
                o1 += load2(c1 + 2) * s1;
                o2 += load2(c1 + 4) * s1;
                o3 += load2(c1 + 6) * s1;
            }
            if (j < je) {  // the last column, of even index
                const double* c0 = column_of(x, r0 + i, j);
                const v2d s0 = splat(v[j]);
                e0 += load2(c0) * s0;
                e1 += load2(c0 + 2) * s0;
                e2 += load2(c0 + 4) * s0;
                e3 += load2(c0 + 6) * s0;
            }
            store2(even + i, e0), store2(even + i + 2, e1), store2(even + i + 4, e2),
                store2(even + i + 6, e3);
            store2(odd + i, o0), store2(odd + i + 2, o1), store2(odd + i + 4, o2),
                store2(odd + i + 6, o3);
        }
        for (; i < b; ++i) {
            double e = even[i], o = odd[i];
            std::size_t j = jp;
            for (; j + 2 <= je; j += 2) {
                e += column_of(x, r0 + i, j)[0] * v[j];
                o += column_of(x, r0 + i, j + 1)[0] * v[j + 1];
            }
            if (j < je) e += column_of(x, r0 + i, j)[0] * v[j];
            even[i] = e, odd[i] = o;
        }
    }
    for (std::size_t i = 0; i < b; ++i) raw[i] = even[i] + odd[i];
}

// Row-major: one two-lane sum per row (even columns in the low half), eight
// rows at a time for independent chains. `fetch` holds rows of the next
// block to bring into the cache along the way (null entries for none).
template <std::size_t rows>
void row_forward_tile(const MatView& x, std::size_t r, const double* v, double* raw,
                      const double* const* fetch, std::size_t n_fetch) {
    const std::size_t p = x.cols;
    const double* xr[rows];
    v2d a[rows];
    for (std::size_t k = 0; k < rows; ++k) xr[k] = row_of(x, r + k), a[k] = splat(0.0);
    std::size_t j = 0;
    for (; j + 8 <= p; j += 8) {
        for (std::size_t f = 0; f < n_fetch; ++f) __builtin_prefetch(fetch[f] + j, 0, 3);
        for (std::size_t h = 0; h < 8; h += 2) {
            const v2d vv = load2(v + j + h);
            for (std::size_t k = 0; k < rows; ++k) a[k] += load2(xr[k] + j + h) * vv;
        }
    }
    for (; j + 2 <= p; j += 2) {
        const v2d vv = load2(v + j);
        for (std::size_t k = 0; k < rows; ++k) a[k] += load2(xr[k] + j) * vv;
    }
    if (j < p)
        for (std::size_t k = 0; k < rows; ++k) a[k][0] += xr[k][j] * v[j];
    for (std::size_t k = 0; k < rows; ++k) raw[k] = a[k][0] + a[k][1];
}

// Rows of the next block that the pass over rows [i, i + 8) of this block
// fetches: the first (forward) or the second (transposed) half of their
// counterparts i + b .. i + b + 7, where they exist.
std::size_t row_fetch_list(const MatView& x, std::size_t r0, std::size_t i, std::size_t b,
                           std::size_t ahead, bool second_half, const double* out[4]) {
    std::size_t count = 0;
    for (std::size_t k = second_half ? 4 : 0; k < (second_half ? 8u : 4u); ++k)
        if (i + k < ahead) out[count++] = row_of(x, r0 + b + i + k);
    return count;
}

void row_forward(const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
                 const double* v, double* raw) {
    std::size_t i = 0;
    const double* fetch[4];
    for (; i + 8 <= b; i += 8) {
        const std::size_t n_fetch = row_fetch_list(x, r0, i, b, ahead, false, fetch);
        row_forward_tile<8>(x, r0 + i, v, raw + i, fetch, n_fetch);
    }
    for (; i < b; ++i) row_forward_tile<1>(x, r0 + i, v, raw + i, fetch, 0);
}

void strided_forward(const MatView& x, std::size_t r0, std::size_t b, const double* v,
                     double* raw) {
    for (std::size_t i = 0; i < b; ++i) {
        double s[2] = {0.0, 0.0};
        for (std::size_t j = 0; j < x.cols; ++j) s[j % 2] += x(r0 + i, j) * v[j];
        raw[i] = s[0] + s[1];
    }
}

// `split`: the rows of the next block that the forward product fetches;
// the transposed product fetches the rest.
void forward(Layout layout, const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
             std::size_t split, const double* v, double* acc, double* raw) {
    switch (layout) {
        case Layout::col:
            col_forward(x, r0, b, ahead, split, v, acc, raw);
            return;
        case Layout::row:
            row_forward(x, r0, b, ahead, v, raw);
            return;
        case Layout::strided:
            strided_forward(x, r0, b, v, raw);
            return;
    }
}

// --- X'z: even[j], odd[j] continue their sums over rows [r0, r0 + b) -----
// Rows at an even offset from the start of the part go to `even`. r0 is at
// an even offset; z holds the block's b entries.

void col_transposed(const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
                    const double* z, double* even, double* odd) {
    const std::size_t p = x.cols;
    const std::size_t pairs = b / 2 * 2;
    const std::size_t split = fetch_split(b);
    std::size_t j = 0;
    // Eight columns at once, each one two-lane sum (even rows low, odd high).
    for (; j + 8 <= p; j += 8) {
        const double* c[8];
        v2d a[8];
        for (std::size_t k = 0; k < 8; ++k)
            c[k] = column_of(x, r0, j + k), a[k] = v2d{even[j + k], odd[j + k]};
        std::size_t i = 0;
        for (; i + 8 <= pairs; i += 8) {
            if (i >= split && i < ahead)
                for (std::size_t k = 0; k < 8; ++k) {
                    __builtin_prefetch(c[k] + b + i, 0, 3);
                    __builtin_prefetch(c[k] + b + i + 7, 0, 3);
                }
            for (std::size_t h = 0; h < 8; h += 2) {
                const v2d zz = load2(z + i + h);
                for (std::size_t k = 0; k < 8; ++k) a[k] += load2(c[k] + i + h) * zz;
            }
        }
        for (; i < pairs; i += 2) {
            const v2d zz = load2(z + i);
            for (std::size_t k = 0; k < 8; ++k) a[k] += load2(c[k] + i) * zz;
        }
        if (pairs < b)
            for (std::size_t k = 0; k < 8; ++k) a[k][0] += c[k][pairs] * z[pairs];
        for (std::size_t k = 0; k < 8; ++k) even[j + k] = a[k][0], odd[j + k] = a[k][1];
    }
    for (; j < p; ++j) {
        const double* c = column_of(x, r0, j);
        v2d a{even[j], odd[j]};
        for (std::size_t i = 0; i < pairs; i += 2) a += load2(c + i) * load2(z + i);
        if (pairs < b) a[0] += c[pairs] * z[pairs];
        even[j] = a[0], odd[j] = a[1];
    }
}

void row_transposed(const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
                    const double* z, double* even, double* odd) {
    const std::size_t p = x.cols;
    std::size_t r = 0;
    // Eight rows per pass over the sums: four into each lane, in row order.
    for (; r + 8 <= b; r += 8) {
        const double* xr[8];
        v2d zr[8];
        for (std::size_t k = 0; k < 8; ++k) xr[k] = row_of(x, r0 + r + k), zr[k] = splat(z[r + k]);
        const double* fetch[4];
        const std::size_t n_fetch = row_fetch_list(x, r0, r, b, ahead, true, fetch);
        std::size_t j = 0;
        for (; j + 2 <= p; j += 2) {
            if (j % 8 == 0)
                for (std::size_t f = 0; f < n_fetch; ++f) __builtin_prefetch(fetch[f] + j, 0, 3);
            v2d e = load2(even + j), o = load2(odd + j);
            e += load2(xr[0] + j) * zr[0];
            o += load2(xr[1] + j) * zr[1];
            e += load2(xr[2] + j) * zr[2];
            o += load2(xr[3] + j) * zr[3];
            e += load2(xr[4] + j) * zr[4];
            o += load2(xr[5] + j) * zr[5];
            e += load2(xr[6] + j) * zr[6];
            o += load2(xr[7] + j) * zr[7];
            store2(even + j, e), store2(odd + j, o);
        }
        if (j < p) {
            double e = even[j], o = odd[j];
            for (std::size_t k = 0; k < 8; k += 2) {
                e += xr[k][j] * zr[k][0];
                o += xr[k + 1][j] * zr[k + 1][0];
            }
            even[j] = e, odd[j] = o;
        }
    }
    for (; r < b; ++r) {
        const double* xr = row_of(x, r0 + r);
        const double zr = z[r];
        double* lane = r % 2 == 0 ? even : odd;
        for (std::size_t j = 0; j < p; ++j) lane[j] += xr[j] * zr;
    }
}

void strided_transposed(const MatView& x, std::size_t r0, std::size_t b, const double* z,
                        double* even, double* odd) {
    for (std::size_t i = 0; i < b; ++i) {
        double* lane = i % 2 == 0 ? even : odd;
        for (std::size_t j = 0; j < x.cols; ++j) lane[j] += x(r0 + i, j) * z[i];
    }
}

void transposed(Layout layout, const MatView& x, std::size_t r0, std::size_t b,
                std::size_t ahead, const double* z, double* even, double* odd) {
    switch (layout) {
        case Layout::col:
            col_transposed(x, r0, b, ahead, z, even, odd);
            return;
        case Layout::row:
            row_transposed(x, r0, b, ahead, z, even, odd);
            return;
        case Layout::strided:
            strided_transposed(x, r0, b, z, even, odd);
            return;
    }
}

// --- sweeps ---------------------------------------------------------------

double apply_map(const ScoreMap& map, double raw, std::size_t i) {
    double t = map.centre ? raw - map.offset : raw;
    if (map.mult) t *= map.mult[i];
    return t;
}

// Row parts of X'z: a function of the shape alone, never of the threads.
// More than 8 lets the pool balance its threads when some are slow. Parts
// keep at least 512 rows before there are more than 8, and at least 16 rows
// in any case, so that their sums (2 p doubles each) stay small next to X.
std::size_t row_parts(std::size_t n, std::size_t p) {
    const std::size_t by_rows = n / 512;
    const std::size_t by_cols = (std::size_t{1} << 20) / std::max<std::size_t>(p, 1);
    const std::size_t many = std::min<std::size_t>({by_rows, by_cols, 8 * fixed_parts});
    const std::size_t parts = std::max(many / fixed_parts * fixed_parts, fixed_parts);
    return std::min(parts, std::max<std::size_t>(n / 16, 1));
}

// g_j = sum over parts, in part order, of (even_j + odd_j) of the part.
void combine_parts(const std::vector<double>& sums, std::size_t parts, std::size_t p, double* g,
                   Par par) {
    for_each_part(par, p, [&](std::size_t, IndexSpan cols) {
        for (std::size_t j = cols.begin; j < cols.end; ++j) {
            double s = sums[j] + sums[p + j];
            for (std::size_t k = 1; k < parts; ++k)
                s += sums[2 * k * p + j] + sums[(2 * k + 1) * p + j];
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
        !v && layout == Layout::col ? std::max<std::size_t>(n + n % 2, 2)
                                    : block_rows(layout, p);
    const std::size_t per_part = 4 * rows_per_block;
    const std::size_t parts = row_parts(n, p);
    scratch.part_sums.assign(2 * parts * p, 0.0);
    if (v) scratch.block.resize(parts * per_part);
    for_each_part(
        par, n,
        [&](std::size_t part, IndexSpan rows) {
        double* even = scratch.part_sums.data() + 2 * part * p;
        double* odd = even + p;
        double* acc = v ? scratch.block.data() + part * per_part : nullptr;
        for (std::size_t r0 = rows.begin; r0 < rows.end; r0 += rows_per_block) {
            const std::size_t b = std::min(rows_per_block, rows.end - r0);
            const double* z = z_in ? z_in + r0 : nullptr;
            const std::size_t next = r0 + b;
            const std::size_t ahead =
                next < rows.end ? std::min(rows_per_block, rows.end - next) : 0;
            if (v) {
                double* raw = acc + 2 * rows_per_block;
                double* zb = raw + rows_per_block;
                forward(layout, x, r0, b, ahead, fetch_split(b), v, acc, raw);
                for (std::size_t i = 0; i < b; ++i) {
                    const double ti = apply_map(*map, raw[i], r0 + i);
                    t[r0 + i] = ti;
                    zb[i] = map->mult ? map->mult[r0 + i] * ti : ti;
                }
                z = zb;
            }
            transposed(layout, x, r0, b, v ? ahead : 0, z, even, odd);
        }
        },
        parts);
    combine_parts(scratch.part_sums, parts, p, g, par);
}

}  // namespace

void x_times(const MatView& x, const double* v, double* out, Par par) {
    const Layout layout = layout_of(x);
    const std::size_t rows_per_block = block_rows(layout, x.cols);
    for_each_part(par, x.rows, [&](std::size_t, IndexSpan rows) {
        std::vector<double> acc(layout == Layout::col ? 2 * rows_per_block : 0);
        for (std::size_t r0 = rows.begin; r0 < rows.end; r0 += rows_per_block) {
            const std::size_t b = std::min(rows_per_block, rows.end - r0);
            const std::size_t next = r0 + b;
            const std::size_t ahead =
                next < rows.end ? std::min(rows_per_block, rows.end - next) : 0;
            forward(layout, x, r0, b, ahead, b, v, acc.data(), out + r0);
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
