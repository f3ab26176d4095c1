#include "veltra/lane_product.hpp"

#include <algorithm>
#include <cstring>

#include "veltra/error.hpp"
#include "block_vectors.hpp"
#include "xs_block_products.hpp"

namespace veltra {
namespace {

// The loops are blocked so that a tile's operands stay in the cache: a
// stretch of index_block indices of the lanes a tile covers stays in the
// first level while a block of row_block rows of A passes over it, and that
// block of A stays in the second level while the lanes pass over it. A
// running sum waits in out between stretches, which never changes its
// operations.
constexpr std::size_t index_block = 128;
constexpr std::size_t row_block = 128;

// RT rows of A by NV vectors of lanes over len indices: a at A(r0, t0), b
// at B(t0, c0), out at out(r0, c0). The sums start from zero or from out.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void tile(const double* a, std::ptrdiff_t a_r, std::ptrdiff_t a_t,
                                        std::size_t len, const double* b, std::size_t ld,
                                        double* out, bool from_zero) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    V acc[RT][NV];
    detail::start_tile(acc, out, ld, from_zero);
    detail::add_index_range(acc, a, a_r, a_t, 0, len, b, ld, [](std::size_t) {});
    for (int r = 0; r < RT; ++r)
        for (int v = 0; v < NV; ++v) std::memcpy(out + r * ld + v * L, &acc[r][v], sizeof(V));
}

// Rows [r0, r1) of A over indices [t0, t0 + len) against every lane.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void stretch(const MatView& a, std::size_t r0, std::size_t r1,
                                           std::size_t t0, std::size_t len, const double* b,
                                           std::size_t ld, double* out, bool from_zero) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    const std::size_t nv = ld / L;
    const std::ptrdiff_t a_r = a.row_stride, a_t = a.col_stride;
    const double* bt = b + t0 * ld;
    for (std::size_t v = 0; v < nv;) {
        const bool wide = v + NV <= nv;
        for (std::size_t r = r0; r < r1;) {
            const bool whole = r + RT <= r1;
            const double* ar = a.data + static_cast<std::ptrdiff_t>(r) * a_r +
                               static_cast<std::ptrdiff_t>(t0) * a_t;
            double* o = out + r * ld + v * L;
            const double* bv = bt + v * L;
            if (whole && wide) tile<V, RT, NV>(ar, a_r, a_t, len, bv, ld, o, from_zero);
            else if (whole) tile<V, RT, 1>(ar, a_r, a_t, len, bv, ld, o, from_zero);
            else if (wide) tile<V, 1, NV>(ar, a_r, a_t, len, bv, ld, o, from_zero);
            else tile<V, 1, 1>(ar, a_r, a_t, len, bv, ld, o, from_zero);
            r += whole ? RT : 1;
        }
        v += wide ? NV : 1;
    }
}

template <class V, int RT, int NV>
[[gnu::always_inline]] inline void kernel(const MatView& a, const double* b, std::size_t ld,
                                          double* out, bool add) {
    for (std::size_t r0 = 0; r0 < a.rows; r0 += row_block) {
        const std::size_t r1 = std::min(r0 + row_block, a.rows);
        for (std::size_t t0 = 0; t0 < a.cols; t0 += index_block)
            stretch<V, RT, NV>(a, r0, r1, t0, std::min(index_block, a.cols - t0), b, ld, out,
                               !add && t0 == 0);
    }
}

// Four rows by two vectors, or by three of eight lanes, whose 12 sums and
// operands fit AVX-512's 32 registers.
struct Lanes {
    template <class V, int, int>
    [[gnu::always_inline]] static void run(const MatView& a, const double* b, std::size_t ld,
                                           double* out, bool add) {
        kernel<V, 4, sizeof(V) == 64 ? 3 : 2>(a, b, ld, out, add);
    }
};

}  // namespace

void lane_product(const MatView& a, const double* b, std::size_t ld, double* out, bool add,
                  std::size_t max_lanes) {
    internal_check(ld % detail::block_lanes == 0, "lane_product: ld is not a multiple of 8");
    if (a.cols == 0) {
        if (!add) std::fill_n(out, a.rows * ld, 0.0);
        return;
    }
    detail::run_at_lanes<Lanes>(detail::block_vector_lanes(max_lanes),
                                "lane_product: no kernel of that width", a, b, ld, out, add);
}

}  // namespace veltra
