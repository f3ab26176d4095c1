#include "xs_products.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "veltra/error.hpp"
#include "veltra/numeric.hpp"
#include "simd2.hpp"
#include "xs_lanes.hpp"

namespace veltra::detail {
namespace {

// Bytes of X that one block of rows of a row-major sweep may span: the
// sweep multiplies a block twice, and the second product must find it in the
// core's cache.
constexpr std::size_t row_block_bytes = 128 * 1024;
constexpr std::size_t wide_block_bytes = 512 * 1024;

enum class Layout { col, row, strided };

Layout layout_of(const MatView& x) {
    if (x.row_stride == 1) return Layout::col;
    if (x.col_stride == 1) return Layout::row;
    return Layout::strided;
}

// Rows per block of the fused row-major sweep: even, so that every block of
// a part starts on an even row offset, and at least eight, for the eight
// independent sums of the forward product; four when eight rows would span
// more than wide_block_bytes, which the core's cache would not hold.
std::size_t block_rows(std::size_t p) {
    const std::size_t row_bytes = std::max<std::size_t>(p, 1) * sizeof(double);
    if (8 * row_bytes > wide_block_bytes) return 4;
    return std::clamp<std::size_t>(row_block_bytes / row_bytes / 2 * 2, 8, 64);
}

// Bytes of a column-major X that one block of rows of a fused sweep spans:
// the block is read twice, the second time from the core's own cache.
constexpr std::size_t col_block_bytes = 512 * 1024;

// Rows per block of the fused column-major sweep: even, as block_rows.
std::size_t col_block_rows(std::size_t p) {
    const std::size_t row_bytes = std::max<std::size_t>(p, 1) * sizeof(double);
    return std::clamp<std::size_t>(col_block_bytes / row_bytes / 2 * 2, 2, 4096);
}

// A column-major X is fused when its blocks span segments of at least 256
// bytes per column: shorter ones cost more than a second streaming pass.
bool fuses_columns(std::size_t p) { return col_block_rows(p) >= 32; }

// Column parts of X v: a function of the column count alone, so that a
// column-major X can be shared among tasks by columns and read as long runs.
// Parts of at least 256 columns keep the row-major products, which close a
// sum at every part's end, as fast as one sum per row, and the partial sums
// of a column-major pass (n doubles per part) small next to X.
std::size_t col_parts(std::size_t p) { return std::clamp<std::size_t>(p / 256, 1, 16); }

// The spans of part_span for every part, computed once: the products walk
// them once per few rows or per column.
struct Cuts {
    std::size_t count;
    std::array<std::size_t, 8 * fixed_parts + 1> at;
    Cuts(std::size_t len, std::size_t parts) : count(parts), at{} {
        internal_check(parts >= 1 && parts <= 8 * fixed_parts, "Cuts: too many parts");
        for (std::size_t i = 0; i < parts; ++i) at[i] = part_span(len, i, parts).begin;
        at[parts] = len;
    }
    // One part: the span alone.
    explicit Cuts(IndexSpan span) : count(1), at{} { at[0] = span.begin, at[1] = span.end; }
    IndexSpan operator[](std::size_t i) const { return {at[i], at[i + 1]}; }
};

const double* column_of(const MatView& x, std::size_t r0, std::size_t j) {
    return x.data + static_cast<std::ptrdiff_t>(j) * x.col_stride + static_cast<std::ptrdiff_t>(r0);
}
const double* row_of(const MatView& x, std::size_t i) {
    return x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride;
}

// --- X v ------------------------------------------------------------------
// raw_i = P_0 + P_1 + ... in part order over the column parts; P_k = E + O,
// the running sums in column order from zero over the columns of part k at
// an even (E) and at an odd (O) offset from the part's first column.

// Column-major: the part sums P_k of rows [r0, r0 + b) over the columns
// [j0, j1) of one part, into out. Eight columns at a time (four even, four
// odd offsets), each a run of b doubles that the hardware fetches ahead by
// itself, in the widest lanes the processor has. even and odd hold b
// doubles each.
void col_part_forward(const MatView& x, std::size_t r0, std::size_t b, std::size_t j0,
                      std::size_t j1, const double* v, double* even, double* odd, double* out) {
    std::fill(even, even + b, 0.0);
    std::fill(odd, odd + b, 0.0);
    col_rows_forward(x, r0, b, j0, j1, v, even, odd);
    for (std::size_t i = 0; i < b; ++i) out[i] = even[i] + odd[i];
}

// Row-major: per row and part one two-lane sum (even offsets in the low
// half), eight rows at a time for independent chains. `fetch` holds rows of
// the next block to bring into the cache along the way.
template <std::size_t rows>
void row_forward_tile(const MatView& x, const Cuts& cuts, std::size_t r, const double* v,
                      double* raw, const double* const* fetch, std::size_t n_fetch) {
    const std::size_t parts = cuts.count;
    const double* xr[rows];
    double sum[rows] = {};
    for (std::size_t k = 0; k < rows; ++k) xr[k] = row_of(x, r + k);
    for (std::size_t part = 0; part < parts; ++part) {
        const IndexSpan cols = cuts[part];
        v2d a[rows];
        for (std::size_t k = 0; k < rows; ++k) a[k] = splat(0.0);
        std::size_t j = cols.begin;
        for (; j + 8 <= cols.end; j += 8) {
            for (std::size_t f = 0; f < n_fetch; ++f) __builtin_prefetch(fetch[f] + j, 0, 3);
            for (std::size_t h = 0; h < 8; h += 2) {
                const v2d vv = load2(v + j + h);
                for (std::size_t k = 0; k < rows; ++k) a[k] += load2(xr[k] + j + h) * vv;
            }
        }
        for (; j + 2 <= cols.end; j += 2) {
            const v2d vv = load2(v + j);
            for (std::size_t k = 0; k < rows; ++k) a[k] += load2(xr[k] + j) * vv;
        }
        if (j < cols.end)
            for (std::size_t k = 0; k < rows; ++k) a[k][0] += xr[k][j] * v[j];
        for (std::size_t k = 0; k < rows; ++k) {
            const double s = a[k][0] + a[k][1];
            sum[k] = part == 0 ? s : sum[k] + s;
        }
    }
    for (std::size_t k = 0; k < rows; ++k) raw[k] = sum[k];
}

// Rows of the next block that the pass over rows [i, i + 8) of this block
// fetches: the first (forward) or the second (transposed) half of their
// counterparts i + b .. i + b + 7, where they exist.
std::size_t row_fetch_list(const MatView& x, std::size_t r0, std::size_t i, std::size_t b,
                           std::size_t ahead, bool second_half, const double* out[4],
                           std::size_t rows = 8) {
    std::size_t count = 0;
    const std::size_t half = rows / 2;
    for (std::size_t k = second_half ? half : 0; k < (second_half ? rows : half); ++k)
        if (i + k < ahead) out[count++] = row_of(x, r0 + b + i + k);
    return count;
}

// Rows [r0, r0 + b) summed over the parts `cuts` (all column parts of X v,
// or one of them for its part sum); with ahead > 0 the next block's rows are
// fetched along the way.
void row_forward(const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
                 const double* v, double* raw, const Cuts& cuts) {
    std::size_t i = 0;
    const double* fetch[4];
    for (; i + 8 <= b; i += 8) {
        const std::size_t n_fetch = row_fetch_list(x, r0, i, b, ahead, false, fetch);
        row_forward_tile<8>(x, cuts, r0 + i, v, raw + i, fetch, n_fetch);
    }
    for (; i + 4 <= b; i += 4) {
        const std::size_t n_fetch = row_fetch_list(x, r0, i, b, ahead, false, fetch, 4);
        row_forward_tile<4>(x, cuts, r0 + i, v, raw + i, fetch, n_fetch);
    }
    for (; i < b; ++i) row_forward_tile<1>(x, cuts, r0 + i, v, raw + i, fetch, 0);
}

void strided_forward(const MatView& x, std::size_t r0, std::size_t b, const double* v,
                     double* raw) {
    const Cuts cuts(x.cols, col_parts(x.cols));
    for (std::size_t i = 0; i < b; ++i) {
        double sum = 0.0;
        for (std::size_t part = 0; part < cuts.count; ++part) {
            const IndexSpan cols = cuts[part];
            double s[2] = {0.0, 0.0};
            for (std::size_t j = cols.begin; j < cols.end; ++j)
                s[(j - cols.begin) % 2] += x(r0 + i, j) * v[j];
            sum = part == 0 ? s[0] + s[1] : sum + (s[0] + s[1]);
        }
        raw[i] = sum;
    }
}

// Column-major, a block of b rows: the part sums of col_part_forward added
// in part order. tmp holds 3 b doubles.
void col_forward(const MatView& x, std::size_t r0, std::size_t b, const double* v, double* raw,
                 double* tmp) {
    const std::size_t p = x.cols, parts = col_parts(p);
    for (std::size_t part = 0; part < parts; ++part) {
        const IndexSpan cols = part_span(p, part, parts);
        double* out = part == 0 ? raw : tmp + 2 * b;
        col_part_forward(x, r0, b, cols.begin, cols.end, v, tmp, tmp + b, out);
        if (part > 0)
            for (std::size_t i = 0; i < b; ++i) raw[i] += out[i];
    }
}

void forward(Layout layout, const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
             const double* v, double* raw, double* tmp) {
    if (layout == Layout::row)
        row_forward(x, r0, b, ahead, v, raw, Cuts(x.cols, col_parts(x.cols)));
    else if (layout == Layout::col)
        col_forward(x, r0, b, v, raw, tmp);
    else
        strided_forward(x, r0, b, v, raw);
}

// --- X'z: even[j], odd[j] continue their sums over rows [r0, r0 + b) -----
// Rows at an even offset from the start of the part go to `even`. r0 is at
// an even offset; z holds the block's b entries.

// With ahead > 0 the next block's segments (ahead rows each) are fetched
// along the way: they lie far apart, beyond the hardware's own look-ahead.
void col_transposed(const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
                    const double* z, double* even, double* odd) {
    const std::size_t p = x.cols;
    const std::size_t pairs = b / 2 * 2;
    const std::size_t ahead_bytes = ahead * sizeof(double);
    std::size_t j = 0;
    // Eight columns at once, each one two-lane sum (even rows low, odd high).
    for (; j + 8 <= p; j += 8) {
        const double* c[8];
        v2d a[8];
        for (std::size_t k = 0; k < 8; ++k)
            c[k] = column_of(x, r0, j + k), a[k] = v2d{even[j + k], odd[j + k]};
        if (ahead_bytes > 0)
            for (std::size_t k = 0; k < 8; ++k) {
                const char* q = reinterpret_cast<const char*>(c[k] + b);
                for (std::size_t o = 0; o < ahead_bytes; o += 64) __builtin_prefetch(q + o, 0, 3);
                __builtin_prefetch(q + ahead_bytes - 1, 0, 3);
            }
        for (std::size_t i = 0; i < pairs; i += 2) {
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

// Rows [r, r + R) of the block into the sums, R/2 into each lane in row
// order, in one pass over the sums.
template <std::size_t R>
void row_group_transposed(const MatView& x, std::size_t r0, std::size_t r, std::size_t b,
                          std::size_t ahead, const double* z, double* even, double* odd) {
    const std::size_t p = x.cols;
    const double* xr[R];
    v2d zr[R];
    for (std::size_t k = 0; k < R; ++k) xr[k] = row_of(x, r0 + r + k), zr[k] = splat(z[r + k]);
    const double* fetch[4];
    const std::size_t n_fetch = row_fetch_list(x, r0, r, b, ahead, true, fetch, R);
    std::size_t j = 0;
    for (; j + 2 <= p; j += 2) {
        if (j % 8 == 0)
            for (std::size_t f = 0; f < n_fetch; ++f) __builtin_prefetch(fetch[f] + j, 0, 3);
        v2d e = load2(even + j), o = load2(odd + j);
        for (std::size_t k = 0; k < R; k += 2) {
            e += load2(xr[k] + j) * zr[k];
            o += load2(xr[k + 1] + j) * zr[k + 1];
        }
        store2(even + j, e), store2(odd + j, o);
    }
    if (j < p) {
        double e = even[j], o = odd[j];
        for (std::size_t k = 0; k < R; k += 2) {
            e += xr[k][j] * zr[k][0];
            o += xr[k + 1][j] * zr[k + 1][0];
        }
        even[j] = e, odd[j] = o;
    }
}

void row_transposed(const MatView& x, std::size_t r0, std::size_t b, std::size_t ahead,
                    const double* z, double* even, double* odd) {
    const std::size_t p = x.cols;
    std::size_t r = 0;
    // Eight (or four) rows per pass over the sums, half into each lane.
    for (; r + 8 <= b; r += 8) row_group_transposed<8>(x, r0, r, b, ahead, z, even, odd);
    for (; r + 4 <= b; r += 4) row_group_transposed<4>(x, r0, r, b, ahead, z, even, odd);
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

// The offset of a map with means: sum_j mean_j v_j in index order from zero.
double centring_offset(const double* mean, const double* v, std::size_t p) {
    double s = 0.0;
    for (std::size_t j = 0; j < p; ++j) s += mean[j] * v[j];
    return s;
}

// The map with its offset in place.
ScoreMap resolved(const ScoreMap& map, const double* v, std::size_t p) {
    ScoreMap out = map;
    if (map.mean) out.offset = centring_offset(map.mean, v, p);
    return out;
}

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

// The transposed product over the fixed row parts. With v given (row-major
// or strided X), each block of rows first gets its scores (X v mapped by
// `map`), and z is formed from them while the block is still in the cache;
// otherwise z comes from z_in.
void sweep(const MatView& x, const double* v, const ScoreMap* map, double* t, const double* z_in,
           double* g, Par par, ProductScratch& scratch) {
    const std::size_t n = x.rows, p = x.cols;
    const Layout layout = layout_of(x);
    // Without the forward product nothing is read twice: a column-major part
    // then streams each column segment whole.
    const std::size_t rows_per_block = layout != Layout::col ? block_rows(p)
                                       : v ? col_block_rows(p)
                                           : std::max<std::size_t>(n + n % 2, 2);
    const std::size_t parts = row_parts(n, p);
    const std::size_t per_part = 5 * rows_per_block;
    scratch.part_sums.assign(2 * parts * p, 0.0);
    if (v) scratch.block.resize(parts * per_part);
    for_each_part(
        par, n,
        [&](std::size_t part, IndexSpan rows) {
        double* even = scratch.part_sums.data() + 2 * part * p;
        double* odd = even + p;
        for (std::size_t r0 = rows.begin; r0 < rows.end; r0 += rows_per_block) {
            const std::size_t b = std::min(rows_per_block, rows.end - r0);
            const double* z = z_in ? z_in + r0 : nullptr;
            const std::size_t next = r0 + b;
            const std::size_t ahead =
                next < rows.end ? std::min(rows_per_block, rows.end - next) : 0;
            if (v) {
                double* raw = scratch.block.data() + part * per_part;
                double* zb = raw + rows_per_block;
                forward(layout, x, r0, b, ahead, v, raw, zb + rows_per_block);
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

// --- column-major in two streaming passes ---------------------------------
// A fused sweep must hold a block of rows of every column in the cache; with
// many columns the block is a few rows deep and X is read as short
// segments. Two passes that stream long runs of columns cost less.

// Rows of one run of the forward pass: its two sums (64 KiB) stay in the
// core's second-level cache, and each column is read in runs of 32 KiB.
constexpr std::size_t stream_rows = 4096;

// Tiles of the forward pass: the column parts times enough row chunks of
// at least 128 rows to give the pool some 32 tasks. The cut does not enter
// the arithmetic.
std::size_t row_chunks(std::size_t n, std::size_t parts) {
    const std::size_t wanted = ceil_div(4 * fixed_parts, parts);
    return std::clamp<std::size_t>(std::min(wanted, n / 128), 1, 4 * fixed_parts);
}

// The tasks of forward_by_parts: its column parts times its row chunks.
std::size_t part_tasks(std::size_t n, std::size_t p) {
    return col_parts(p) * row_chunks(n, col_parts(p));
}

// body(task) for every task, pinned (for_each_index_pinned) or not.
template <class Body>
void run_tasks(Par par, std::size_t tasks, bool pinned, Body&& body) {
    if (pinned)
        for_each_index_pinned(par, tasks, body);
    else
        for_each_index(par, tasks, body);
}

// Entries below which the part sums of X v are added on the calling thread.
constexpr std::size_t small_combine = 16384;

// t from X v by the score map (raw X v without one), and z_i = mult_i t_i
// when z is given, by the column parts of X v (column-major or row-major X).
// Pinned, each part mostly goes to the thread that took it in the last pass
// (for_each_index_pinned).
void forward_by_parts(const MatView& x, const double* v, const ScoreMap* map, double* t,
                      double* z, Par par, ProductScratch& scratch, bool pinned = false,
                      const ColumnWork* work = nullptr) {
    const std::size_t n = x.rows, p = x.cols;
    const bool col = layout_of(x) == Layout::col;
    const std::size_t parts = col_parts(p), chunks = row_chunks(n, parts);
    scratch.block.resize(parts * n);
    double* sums = scratch.block.data();
    ScoreMap m = map ? *map : ScoreMap{};
    const auto task = [&](std::size_t task) {
        const std::size_t part = task / chunks;
        const IndexSpan rows = part_span(n, task % chunks, chunks);
        const IndexSpan cols = part_span(p, part, parts);
        double* out = sums + part * n;
        // The part's own work goes with its first row chunk, so that it is
        // pinned with the part; the part's other chunks may read these
        // columns meanwhile.
        if (work && task % chunks == 0) work->before(cols);
        if (!col) {
            row_forward(x, rows.begin, rows.size(), 0, v, out + rows.begin, Cuts(cols));
        } else {
            std::vector<double> acc(2 * std::min(stream_rows, rows.size()));
            for (std::size_t r0 = rows.begin; r0 < rows.end; r0 += stream_rows) {
                const std::size_t b = std::min(stream_rows, rows.end - r0);
                col_part_forward(x, r0, b, cols.begin, cols.end, v, acc.data(), acc.data() + b,
                                 out + r0);
            }
        }
        // The centring offset, when the map leaves it to the pass, is read
        // only after it, once every task has ended; task 0 forms it, on
        // whichever thread takes that task (pinned, the one that takes the
        // first run of tasks).
        if (task == 0 && map && map->mean) m.offset = centring_offset(map->mean, v, p);
    };
    run_tasks(par, part_tasks(n, p), pinned, task);
    // A few thousand additions cost less than handing them to the pool.
    const Par combine = n * parts < small_combine ? par_sequential : par;
    for_each_part(combine, n, [&](std::size_t, IndexSpan rows) {
        for (std::size_t i = rows.begin; i < rows.end; ++i) {
            double s = sums[i];
            for (std::size_t part = 1; part < parts; ++part) s += sums[part * n + i];
            t[i] = map ? apply_map(m, s, i) : s;
            if (z) z[i] = map && map->mult ? map->mult[i] * t[i] : t[i];
        }
    });
}

// Columns of X'z taken at once on a column-major X: eight independent sums
// keep the adders busy where the row parts are short.
constexpr std::size_t col_group = 8;

// g[j .. j + count) of a column-major X, each column streamed whole with the
// sums of the row parts of the fused sweep.
template <std::size_t count>
void col_dots(const MatView& x, const Cuts& cuts, const double* z, double* g, std::size_t j) {
    const double* c[count];
    double s[count] = {};
    for (std::size_t k = 0; k < count; ++k) c[k] = column_of(x, 0, j + k);
    for (std::size_t part = 0; part < cuts.count; ++part) {
        const IndexSpan rows = cuts[part];
        const std::size_t pairs_end = rows.begin + rows.size() / 2 * 2;
        v2d a[count];
        for (std::size_t k = 0; k < count; ++k) a[k] = splat(0.0);
        for (std::size_t i = rows.begin; i < pairs_end; i += 2) {
            const v2d zz = load2(z + i);
            for (std::size_t k = 0; k < count; ++k) a[k] += load2(c[k] + i) * zz;
        }
        if (pairs_end < rows.end)
            for (std::size_t k = 0; k < count; ++k) a[k][0] += c[k][pairs_end] * z[pairs_end];
        for (std::size_t k = 0; k < count; ++k)
            s[k] = part == 0 ? a[k][0] + a[k][1] : s[k] + (a[k][0] + a[k][1]);
    }
    for (std::size_t k = 0; k < count; ++k) g[j + k] = s[k];
}

// Bands of columns of X'z on any layout but column-major: at least 32
// columns, so that each row of a band is a run the hardware fetches ahead.
std::size_t band_tasks(std::size_t p) { return std::clamp<std::size_t>(p / 32, 1, 8 * fixed_parts); }

// g over the columns `cols` of a row-major or strided X: per row part, the
// band's two running sums from zero (`sums` holds 2 cols.size() doubles),
// added into g in part order.
void band_transposed(const MatView& x, Layout layout, const Cuts& cuts, const double* z,
                     IndexSpan cols, double* g, double* sums) {
    const std::size_t w = cols.size();
    const MatView band{x.data + static_cast<std::ptrdiff_t>(cols.begin) * x.col_stride, x.rows,
                       w, x.row_stride, x.col_stride};
    double* even = sums;
    double* odd = sums + w;
    double* out = g + cols.begin;
    for (std::size_t part = 0; part < cuts.count; ++part) {
        const IndexSpan rows = cuts[part];
        std::fill(sums, sums + 2 * w, 0.0);
        if (layout == Layout::row)
            row_cols_transposed(band, rows.begin, rows.size(), z + rows.begin, even, odd);
        else
            strided_transposed(band, rows.begin, rows.size(), z + rows.begin, even, odd);
        for (std::size_t j = 0; j < w; ++j)
            out[j] = part == 0 ? even[j] + odd[j] : out[j] + (even[j] + odd[j]);
    }
}

// The band of X'z of task `task` of forward_by_parts: about the columns of
// its part (the ends rounded up to whole groups of eight), cut among the
// part's row chunks.
IndexSpan part_band(std::size_t n, std::size_t p, std::size_t task) {
    const std::size_t parts = col_parts(p), chunks = row_chunks(n, parts);
    const auto edge = [&](std::size_t k) {
        return k == parts ? p : std::min(p, ceil_div(part_span(p, k, parts).begin, 8) * 8);
    };
    const std::size_t part = task / chunks, b = edge(part), e = edge(part + 1);
    const IndexSpan eights = part_span(ceil_div(e - b, 8), task % chunks, chunks);
    return {b + 8 * eights.begin, std::min(b + 8 * eights.end, e)};
}

// g = X'z by bands of columns, each task all rows of its own columns: a
// column-major X streams each column whole. Bands hold whole groups of
// eight columns, the widest lanes and the column groups of col_dots.
// Pinned, the bands are those of the column parts of forward_by_parts,
// mostly taken by the same threads.
void xt_by_columns(const MatView& x, const double* z, double* g, Par par, bool pinned = false,
                   const ColumnWork* work = nullptr) {
    const std::size_t n = x.rows, p = x.cols;
    const Cuts cuts(n, row_parts(n, p));
    const Layout layout = layout_of(x);
    const std::size_t tasks = pinned                 ? part_tasks(n, p)
                              : layout == Layout::col ? std::clamp<std::size_t>(p / col_group, 1,
                                                                                8 * fixed_parts)
                                                      : band_tasks(p);
    const auto task = [&](std::size_t task) {
        const IndexSpan eights = part_span(ceil_div(p, 8), task, tasks);
        const IndexSpan cols =
            pinned ? part_band(n, p, task) : IndexSpan{8 * eights.begin, std::min(8 * eights.end, p)};
        if (cols.begin >= cols.end) return;
        if (layout != Layout::col) {
            std::vector<double> sums(2 * cols.size());
            band_transposed(x, layout, cuts, z, cols, g, sums.data());
        } else {
            std::size_t j = cols.begin;
            for (; j + col_group <= cols.end; j += col_group)
                col_dots<col_group>(x, cuts, z, g, j);
            for (; j < cols.end; ++j) col_dots<1>(x, cuts, z, g, j);
        }
        if (work) work->after(cols);
    };
    run_tasks(par, tasks, pinned, task);
}

// Rows [b, e) of t from raw X v by the map (none: t is raw X v), and
// z_i = mult_i t_i when z is given.
void map_rows(const ScoreMap* map, std::size_t b, std::size_t e, double* t, double* z) {
    if (map)
        for (std::size_t i = b; i < e; ++i) t[i] = apply_map(*map, t[i], i);
    if (z)
        for (std::size_t i = b; i < e; ++i) z[i] = map && map->mult ? map->mult[i] * t[i] : t[i];
}

// t from X v by the score map (raw X v without one) and z_i = mult_i t_i
// (when z is given) for a row-major or strided X, by chunks of rows.
void row_scores(const MatView& x, const double* v, const ScoreMap* map, double* t, double* z,
                Par par) {
    const Layout layout = layout_of(x);
    const std::size_t n = x.rows, rows_per_block = block_rows(x.cols);
    const std::size_t tasks = std::clamp<std::size_t>(n / 8, 1, 8 * fixed_parts);
    // A map that leaves its offset to the pass is applied after it, once
    // every task has ended; an extra task ahead of the row chunks forms the
    // offset meanwhile, on whichever thread takes it.
    const std::size_t first = map && map->mean ? 1 : 0;
    ScoreMap m = map ? *map : ScoreMap{};
    for_each_index(par, first + tasks, [&](std::size_t index) {
        if (index < first) {
            m.offset = centring_offset(map->mean, v, x.cols);
            return;
        }
        const std::size_t task = index - first;
        const IndexSpan rows = part_span(n, task, tasks);
        for (std::size_t r0 = rows.begin; r0 < rows.end; r0 += rows_per_block) {
            const std::size_t b = std::min(rows_per_block, rows.end - r0);
            const std::size_t next = r0 + b;
            const std::size_t ahead =
                next < rows.end ? std::min(rows_per_block, rows.end - next) : 0;
            forward(layout, x, r0, b, ahead, v, t + r0, nullptr);
            if (first == 0) map_rows(map ? &m : nullptr, r0, next, t, z);
        }
    });
    if (first > 0) map_rows(&m, 0, n, t, z);
}

// Whether the products of a component read X twice, t by rows (or column
// parts) and then X'z by bands of columns, rather than once by row parts.
// So they do on a column-major X of many columns, whatever its size; on one
// of at most 2^20 entries, which the second reading finds in the cache; and
// on any X with too few rows for a row part per fixed part, which the row
// parts could not share among the threads (a row-major X of more rows is
// read once: the rows of a part give both products their long runs).
bool reads_twice(const MatView& x) {
    const Layout layout = layout_of(x);
    if (layout == Layout::col &&
        (!fuses_columns(x.cols) || sat_mul(x.rows, x.cols) <= cached_entries))
        return true;
    return row_parts(x.rows, x.cols) < fixed_parts;
}

}  // namespace

void x_times(const MatView& x, const double* v, double* out, Par par) {
    if (layout_of(x) == Layout::col) {
        ProductScratch scratch;
        forward_by_parts(x, v, nullptr, out, nullptr, par, scratch);
        return;
    }
    row_scores(x, v, nullptr, out, nullptr, par);
}

void xt_times(const MatView& x, const double* z, double* g, Par par, ProductScratch& scratch) {
    // A column-major X of few columns keeps the row parts: the columns
    // would not share the work.
    if ((layout_of(x) == Layout::col && x.cols >= 4 * fixed_parts) || reads_twice(x)) {
        xt_by_columns(x, z, g, par);
        return;
    }
    sweep(x, nullptr, nullptr, nullptr, z, g, par, scratch);
}

std::size_t xt_row_parts(std::size_t n, std::size_t p) { return row_parts(n, p); }

std::uint64_t product_scratch_bytes(std::uint64_t rows, std::uint64_t p) {
    // Both layouts are counted, whichever X has. A column-major X: z, the
    // column parts' sums of X v and each task's two runs; any other layout:
    // the row parts' sums of X'z and their blocks.
    const std::uint64_t parts = row_parts(rows, p);
    std::uint64_t doubles = sat_mul(ceil8(rows), sat_add(col_parts(p), 1));
    const std::uint64_t run = std::min<std::uint64_t>(stream_rows, rows);
    doubles = sat_add(doubles, sat_mul(fixed_parts, sat_mul(2, run)));
    doubles = sat_add(doubles, sat_mul(sat_mul(2, parts), ceil8(p)));
    const std::uint64_t block = std::max(block_rows(p), col_block_rows(p));
    doubles = sat_add(doubles, sat_mul(sat_mul(5, parts), block));
    // The two sums of a band of X'z by columns, one band per task at once.
    const std::uint64_t band = 8 * ceil_div(ceil_div(p, 8), band_tasks(p));
    doubles = sat_add(doubles, sat_mul(fixed_parts, sat_mul(2, ceil8(band))));
    return sat_mul(doubles, 8);
}

void x_times_then_xt(const MatView& x, const double* v, const ScoreMap& map, double* t, double* g,
                     Par par, ProductScratch& scratch, const ColumnWork* work) {
    const IndexSpan all{0, x.cols};
    if (reads_twice(x)) {
        std::vector<double> z(x.rows);
        // An X the cores' caches hold together, with a column part for
        // every fixed part, is read by the same column parts in both
        // products and in every component, each part mostly by the same thread, so
        // that each core reads its share from its own cache (and does the
        // component's work on those columns).
        const Layout layout = layout_of(x);
        const bool pinned = layout != Layout::strided && col_parts(x.cols) >= fixed_parts &&
                            sat_mul(x.rows, x.cols) <= cached_entries;
        const ColumnWork* banded = pinned ? work : nullptr;
        if (work && !banded) work->before(all);
        if (layout == Layout::col || pinned)
            forward_by_parts(x, v, &map, t, z.data(), par, scratch, pinned, banded);
        else
            row_scores(x, v, &map, t, z.data(), par);
        if (work) work->scored(t);
        xt_by_columns(x, z.data(), g, par, pinned, banded);
        if (work && !banded) work->after(all);
        return;
    }
    if (work) work->before(all);
    const ScoreMap m = resolved(map, v, x.cols);
    sweep(x, v, &m, t, nullptr, g, par, scratch);
    if (work) work->scored(t), work->after(all);
}

std::size_t x_times_parts(std::size_t p) { return col_parts(p); }

}  // namespace veltra::detail
