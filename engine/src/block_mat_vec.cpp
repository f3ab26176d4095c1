#include <algorithm>
#include <cstring>
#include <vector>

#include "veltra/component_block.hpp"
#include "veltra/error.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/parallel.hpp"
#include "block_vectors.hpp"
#include "xs_block_products.hpp"

namespace veltra {
namespace detail {
namespace {

// A X in the order of the matrix library's matrix-vector product of a
// column-major A with leading dimension lda: the columns in blocks (all of
// them below 128 columns, else 16, or 4 once a column spans 32000 bytes),
// each block one running sum from zero in column order, the blocks added in
// order.
std::size_t mat_vec_block_cols(std::size_t cols, std::ptrdiff_t lda) {
    if (cols < 128) return std::max<std::size_t>(cols, 1);
    return lda * static_cast<std::ptrdiff_t>(sizeof(double)) < 32000 ? 16 : 4;
}

// RT rows of A by NV vectors of X in that order over the columns [0, cols)
// of one stretch, each block's sum and the total kept in registers: a at
// A(r0, j0), x at X(j0, c0), out at out(r0, c0). The first stretch stores
// its total, a later one adds its blocks to the total so far.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void chain_tile(const double* a, std::ptrdiff_t a_r,
                                              std::ptrdiff_t a_t, std::size_t cols,
                                              std::size_t step, const double* x, std::size_t ld,
                                              double* out, bool first) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    V total[RT][NV];
    start_tile(total, out, ld, first);
    for (std::size_t j0 = 0; j0 < cols; j0 += step) {
        V sum[RT][NV];
        for (int r = 0; r < RT; ++r)
            for (int v = 0; v < NV; ++v) sum[r][v] = V{};
        for (std::size_t t = j0; t < std::min(j0 + step, cols); ++t) {
            const double* at = a + static_cast<std::ptrdiff_t>(t) * a_t;
            V xt[NV];
            for (int v = 0; v < NV; ++v) std::memcpy(&xt[v], x + t * ld + v * L, sizeof(V));
            for (int r = 0; r < RT; ++r)
                for (int v = 0; v < NV; ++v) sum[r][v] += at[r * a_r] * xt[v];
        }
        const bool store = first && j0 == 0;
        for (int r = 0; r < RT; ++r)
            for (int v = 0; v < NV; ++v) total[r][v] = store ? sum[r][v] : total[r][v] + sum[r][v];
    }
    for (int r = 0; r < RT; ++r)
        for (int v = 0; v < NV; ++v) std::memcpy(out + r * ld + v * L, &total[r][v], sizeof(V));
}

// Rows [0, rows) of A against every vector of X over one stretch.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void chain_rows(const double* a, std::ptrdiff_t a_r,
                                              std::ptrdiff_t a_t, std::size_t rows,
                                              std::size_t cols, std::size_t step, const double* x,
                                              std::size_t ld, double* out, bool first) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    const std::size_t nv = ld / L;
    for (std::size_t r = 0; r < rows;) {
        const bool whole = r + RT <= rows;
        const double* ar = a + static_cast<std::ptrdiff_t>(r) * a_r;
        for (std::size_t v = 0; v < nv; v += NV) {
            const bool wide = v + NV <= nv;
            double* o = out + r * ld + v * L;
            if (whole && wide) chain_tile<V, RT, NV>(ar, a_r, a_t, cols, step, x + v * L, ld, o, first);
            else if (whole) chain_tile<V, RT, 1>(ar, a_r, a_t, cols, step, x + v * L, ld, o, first);
            else if (wide) chain_tile<V, 1, NV>(ar, a_r, a_t, cols, step, x + v * L, ld, o, first);
            else chain_tile<V, 1, 1>(ar, a_r, a_t, cols, step, x + v * L, ld, o, first);
            if (!wide) v -= NV - 1;
        }
        r += whole ? RT : 1;
    }
}

// Columns per stretch: whole blocks, about 128 columns, so that a stretch of
// every row stays in the cache while the rows pass over it.
std::size_t stretch_cols(std::size_t step) { return std::max<std::size_t>(128 / step, 1) * step; }

template <class V, int RT, int NV>
[[gnu::always_inline]] inline void mat_vec_kernel(const MatView& a, const double* x,
                                                  std::size_t ld, double* out) {
    const std::size_t step = mat_vec_block_cols(a.cols, a.col_stride), span = stretch_cols(step);
    for (std::size_t j0 = 0; j0 < a.cols; j0 += span)
        chain_rows<V, RT, NV>(a.data + static_cast<std::ptrdiff_t>(j0) * a.col_stride, a.row_stride,
                              a.col_stride, a.rows, std::min(span, a.cols - j0), step, x + j0 * ld,
                              ld, out, j0 == 0);
}

struct MatVec {
    template <class V, int RT, int NV>
    [[gnu::always_inline]] static void run(const MatView& a, const double* x, std::size_t ld,
                                           double* out) {
        mat_vec_kernel<V, RT, NV>(a, x, ld, out);
    }
};

}  // namespace

void mat_vec_block(const MatView& a, const double* x, std::size_t ld, double* out,
                   std::size_t lanes) {
    internal_check(ld % block_lanes == 0, "mat_vec_block: ld is not a multiple of the lanes");
    run_at_lanes<MatVec>(lanes, "mat_vec_block: no kernel of that width", a, x, ld, out);
}

}  // namespace detail

namespace {

// Vectors multiplied at once.
constexpr std::size_t block_width = 16;

// Whether mat_vec reads A with the kernel mat_vec_block reproduces: A
// column-major, every row part of two rows or more (a one-row part is a
// dot product of the matrix library's own order).
bool block_mat_vec_applies(const MatView& a) {
    if (a.row_stride != 1 || a.col_stride < static_cast<std::ptrdiff_t>(a.rows) || a.cols == 0)
        return false;
    const std::size_t parts = mat_vec_parts(a.rows, a.cols);
    for (std::size_t i = 0; i < parts; ++i)
        if (part_span(a.rows, i, parts).size() == 1) return false;
    return a.rows >= 2;
}

}  // namespace

Eigen::MatrixXd mat_vec_columns(MatView a, MatView x, std::size_t max_lanes) {
    internal_check(a.cols == x.rows,
                   "mat_vec_columns: the columns of A differ from the rows of X");
    const std::size_t m = a.rows, p = a.cols, b = x.cols;
    Eigen::MatrixXd out(to_index(m), to_index(b));
    if (!block_mat_vec_applies(a)) {
        for (std::size_t c = 0; c < b; ++c) {
            const VecView col{x.data + static_cast<std::ptrdiff_t>(c) * x.col_stride, p,
                              x.row_stride};
            out.col(to_index(c)) = mat_vec(a, col, par_sequential);
        }
        return out;
    }
    const std::size_t lanes = detail::block_vector_lanes(max_lanes);
    const std::size_t ld = detail::block_ld(std::min(b, block_width));
    std::vector<double> xb(p * ld), ob(m * ld);
    for (std::size_t lo = 0; lo < b; lo += block_width) {
        const std::size_t width = std::min(block_width, b - lo);
        std::fill(xb.begin(), xb.end(), 0.0);
        for (std::size_t j = 0; j < p; ++j)
            for (std::size_t lane = 0; lane < width; ++lane) xb[j * ld + lane] = x(j, lo + lane);
        detail::mat_vec_block(a, xb.data(), ld, ob.data(), lanes);
        for (std::size_t lane = 0; lane < width; ++lane)
            for (std::size_t i = 0; i < m; ++i)
                out(to_index(i), to_index(lo + lane)) = ob[i * ld + lane];
    }
    return out;
}

std::uint64_t mat_vec_columns_bytes(std::uint64_t m, std::uint64_t p, std::uint64_t b) {
    const std::uint64_t ld = detail::block_ld(std::min<std::uint64_t>(b, block_width));
    // The product, a block of vectors and its product.
    const std::uint64_t doubles =
        sat_add(sat_mul(ceil8(m), sat_add(b, ld)), sat_mul(ceil8(p), ld));
    return sat_mul(sat_add(doubles, ceil8(m)), 8);
}

}  // namespace veltra
