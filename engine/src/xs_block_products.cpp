#include "xs_block_products.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "veltra/error.hpp"
#include "veltra/parallel.hpp"
#include "block_vectors.hpp"
#include "xs_products.hpp"

namespace veltra::detail {
namespace {

// Both products are one kernel over an operand A read through strides: out
// row r, response c is the sum over the index parts, in part order, of
// E + O, where E and O are the running sums from zero, in index order, of
// A(r, t) B(t, c) over the indices t of the part at an even (E) and at an
// odd (O) offset from the part's first index. X V takes A = X with rows r =
// rows of X and indices t = columns of X; X'Z takes A = X' with rows r =
// columns of X and indices t = rows of X. A vector lane holds one response,
// so each lane does the scalar operations of the single-response product.

// The part sum E + O of RT rows of A by NV vectors of responses over the
// indices [begin, end): a at A(r0, 0), b at B(0, c0).
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void part_sum(const double* a, std::ptrdiff_t a_r,
                                            std::ptrdiff_t a_t, std::size_t begin,
                                            std::size_t end, const double* b, std::size_t ld,
                                            V (&sum)[RT][NV]) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    V e[RT][NV], o[RT][NV];
    for (int r = 0; r < RT; ++r)
        for (int v = 0; v < NV; ++v) e[r][v] = V{}, o[r][v] = V{};
    std::size_t t = begin;
    for (; t + 2 <= end; t += 2) {
        const double* a0 = a + static_cast<std::ptrdiff_t>(t) * a_t;
        const double* a1 = a0 + a_t;
        V b0[NV], b1[NV];
        for (int v = 0; v < NV; ++v) {
            std::memcpy(&b0[v], b + t * ld + v * L, sizeof(V));
            std::memcpy(&b1[v], b + (t + 1) * ld + v * L, sizeof(V));
        }
        for (int r = 0; r < RT; ++r) {
            const double s0 = a0[r * a_r], s1 = a1[r * a_r];
            for (int v = 0; v < NV; ++v) {
                e[r][v] += s0 * b0[v];
                o[r][v] += s1 * b1[v];
            }
        }
    }
    if (t < end) {
        const double* a0 = a + static_cast<std::ptrdiff_t>(t) * a_t;
        for (int v = 0; v < NV; ++v) {
            V b0;
            std::memcpy(&b0, b + t * ld + v * L, sizeof(V));
            for (int r = 0; r < RT; ++r) e[r][v] += a0[r * a_r] * b0;
        }
    }
    for (int r = 0; r < RT; ++r)
        for (int v = 0; v < NV; ++v) sum[r][v] = e[r][v] + o[r][v];
}

// One part of RT rows by NV vectors into out (at out(r0, c0)): the first
// part stores its sum, a later one adds it to the sum so far.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void tile(const double* a, std::ptrdiff_t a_r, std::ptrdiff_t a_t,
                                        std::size_t len, const double* b, std::size_t ld,
                                        double* out, bool first) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    V sum[RT][NV];
    part_sum<V, RT, NV>(a, a_r, a_t, 0, len, b, ld, sum);
    for (int r = 0; r < RT; ++r)
        for (int v = 0; v < NV; ++v) store_or_add(out + r * ld + v * L, sum[r][v], first);
}

// Every part of RT rows by NV vectors, the total kept in registers: the
// parts of the indices are cuts[0..parts].
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void tile_all_parts(const double* a, std::ptrdiff_t a_r,
                                                  std::ptrdiff_t a_t, const std::size_t* cuts,
                                                  std::size_t parts, const double* b,
                                                  std::size_t ld, double* out) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    V total[RT][NV], sum[RT][NV];
    for (int r = 0; r < RT; ++r)
        for (int v = 0; v < NV; ++v) total[r][v] = V{};
    for (std::size_t q = 0; q < parts; ++q) {
        part_sum<V, RT, NV>(a, a_r, a_t, cuts[q], cuts[q + 1], b, ld, sum);
        for (int r = 0; r < RT; ++r)
            for (int v = 0; v < NV; ++v) total[r][v] = q == 0 ? sum[r][v] : total[r][v] + sum[r][v];
    }
    for (int r = 0; r < RT; ++r)
        for (int v = 0; v < NV; ++v) std::memcpy(out + r * ld + v * L, &total[r][v], sizeof(V));
}

// RT rows of A from row r against every response.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void row_tiles(const double* a, std::ptrdiff_t a_r,
                                             std::ptrdiff_t a_t, std::size_t r, std::size_t len,
                                             const double* b, std::size_t ld, double* out,
                                             bool first) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    const std::size_t nv = ld / L;
    const double* ar = a + static_cast<std::ptrdiff_t>(r) * a_r;
    std::size_t v = 0;
    for (; v + NV <= nv; v += NV)
        tile<V, RT, NV>(ar, a_r, a_t, len, b + v * L, ld, out + r * ld + v * L, first);
    for (; v < nv; ++v)
        tile<V, RT, 1>(ar, a_r, a_t, len, b + v * L, ld, out + r * ld + v * L, first);
}

// Rows [0, rows) of A against every response, over one part of the indices.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void rows_of_part(const double* a, std::ptrdiff_t a_r,
                                                std::ptrdiff_t a_t, std::size_t rows,
                                                std::size_t len, const double* b, std::size_t ld,
                                                double* out, bool first) {
    std::size_t r = 0;
    for (; r + RT <= rows; r += RT) row_tiles<V, RT, NV>(a, a_r, a_t, r, len, b, ld, out, first);
    for (; r < rows; ++r) row_tiles<V, 1, NV>(a, a_r, a_t, r, len, b, ld, out, first);
}

// X V: the column parts outermost, so that each part's rows of V stay in
// the cache while every row of X passes over them.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void forward(const MatView& x, const double* v, std::size_t ld,
                                           double* t) {
    const std::size_t p = x.cols, parts = x_times_parts(p);
    for (std::size_t q = 0; q < parts; ++q) {
        const IndexSpan cols = part_span(p, q, parts);
        const double* a = x.data + static_cast<std::ptrdiff_t>(cols.begin) * x.col_stride;
        rows_of_part<V, RT, NV>(a, x.row_stride, x.col_stride, x.rows, cols.size(),
                                v + cols.begin * ld, ld, t, q == 0);
    }
}

// Every row of A against every response over all the parts of the
// indices, RT rows at a time, each row's sums kept in registers while its
// indices are read as one run.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void all_parts(const double* a, std::ptrdiff_t a_r,
                                             std::ptrdiff_t a_t, std::size_t rows,
                                             std::size_t len, std::size_t parts,
                                             const double* b, std::size_t ld, double* out) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    const std::size_t nv = ld / L;
    std::vector<std::size_t> cuts(parts + 1);
    for (std::size_t q = 0; q < parts; ++q) cuts[q] = part_span(len, q, parts).begin;
    cuts[parts] = len;
    for (std::size_t r = 0; r < rows;) {
        const bool whole = r + RT <= rows;
        const double* ar = a + static_cast<std::ptrdiff_t>(r) * a_r;
        for (std::size_t v = 0; v < nv;) {
            const bool wide = v + NV <= nv;
            double* o = out + r * ld + v * L;
            const double* bv = b + v * L;
            if (whole && wide) tile_all_parts<V, RT, NV>(ar, a_r, a_t, cuts.data(), parts, bv, ld, o);
            else if (whole) tile_all_parts<V, RT, 1>(ar, a_r, a_t, cuts.data(), parts, bv, ld, o);
            else if (wide) tile_all_parts<V, 1, NV>(ar, a_r, a_t, cuts.data(), parts, bv, ld, o);
            else tile_all_parts<V, 1, 1>(ar, a_r, a_t, cuts.data(), parts, bv, ld, o);
            v += wide ? NV : 1;
        }
        r += whole ? RT : 1;
    }
}

// X'Z: A = X' (rows: the columns of X, read as runs down each column).
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void transposed(const MatView& x, const double* z, std::size_t ld,
                                              double* g) {
    all_parts<V, RT, NV>(x.data, x.col_stride, x.row_stride, x.cols, x.rows,
                         xt_row_parts(x.rows, x.cols), z, ld, g);
}

struct Forward {
    template <class V, int RT, int NV>
    [[gnu::always_inline]] static void run(const MatView& x, const double* v, std::size_t ld,
                                           double* t) {
        forward<V, RT, NV>(x, v, ld, t);
    }
};
struct Transposed {
    template <class V, int RT, int NV>
    [[gnu::always_inline]] static void run(const MatView& x, const double* z, std::size_t ld,
                                           double* g) {
        transposed<V, RT, NV>(x, z, ld, g);
    }
};


void check_ld(std::size_t ld) {
    internal_check(ld % block_lanes == 0, "block products: ld is not a multiple of the lanes");
}

}  // namespace

std::size_t block_vector_lanes(std::size_t max_lanes) {
    const std::size_t widest = widest_lanes();
    if (max_lanes >= 8 && widest == 8) return 8;
    return max_lanes >= 4 && widest >= 4 ? 4 : 2;
}

void x_times_block(const MatView& x, const double* v, std::size_t ld, double* t,
                   std::size_t lanes) {
    check_ld(ld);
    run_at_lanes<Forward>(lanes, "x_times_block: no kernel of that width", x, v, ld, t);
}

void xt_times_block(const MatView& x, const double* z, std::size_t ld, double* g,
                    std::size_t lanes) {
    check_ld(ld);
    run_at_lanes<Transposed>(lanes, "xt_times_block: no kernel of that width", x, z, ld, g);
}

}  // namespace veltra::detail
