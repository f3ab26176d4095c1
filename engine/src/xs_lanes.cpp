#include "xs_lanes.hpp"

#include <cstring>

#include "block_vectors.hpp"

namespace veltra::detail {
namespace {

// Loads and stores of a vector at any address of a double.
#define VELTRA_LOAD(V, name, at) \
    V name;                      \
    std::memcpy(&name, at, sizeof name)
#define VELTRA_STORE(at, value) std::memcpy(at, &value, sizeof value)

// One vector (or one double) of outputs from index i on: K inputs a[k] + i, each times its
// s[k], the even ones added to `even`, the odd ones to `odd`.
template <class V, std::size_t K>
[[gnu::always_inline]] inline void lane_step(const double* const* a, std::size_t i,
                                             const double* s, double* even, double* odd) {
    VELTRA_LOAD(V, e, even + i);
    VELTRA_LOAD(V, o, odd + i);
    for (std::size_t k = 0; k < K; k += 2) {
        VELTRA_LOAD(V, a0, a[k] + i);
        VELTRA_LOAD(V, a1, a[k + 1] + i);
        e += a0 * s[k];
        o += a1 * s[k + 1];
    }
    VELTRA_STORE(even + i, e);
    VELTRA_STORE(odd + i, o);
}

// Eight columns at a time (four to each sum), L rows per vector, then two,
// then one; columns past the last eight one at a time over all rows.
template <class V>
[[gnu::always_inline]] inline void col_rows(const MatView& x, std::size_t r0, std::size_t b,
                                            std::size_t j0, std::size_t j1, const double* v,
                                            double* even, double* odd) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    const auto column = [&](std::size_t j) {
        return x.data + static_cast<std::ptrdiff_t>(j) * x.col_stride +
               static_cast<std::ptrdiff_t>(r0);
    };
    std::size_t j = j0;
    for (; j + 8 <= j1; j += 8) {
        const double* c[8];
        for (std::size_t k = 0; k < 8; ++k) c[k] = column(j + k);
        std::size_t i = 0;
        for (; i + L <= b; i += L) lane_step<V, 8>(c, i, v + j, even, odd);
        if constexpr (L > 2)
            for (; i + 2 <= b; i += 2) lane_step<vec2, 8>(c, i, v + j, even, odd);
        for (; i < b; ++i) lane_step<double, 8>(c, i, v + j, even, odd);
    }
    for (; j < j1; ++j) {
        const double* c = column(j);
        double* lane = (j - j0) % 2 == 0 ? even : odd;
        const double s = v[j];
        for (std::size_t i = 0; i < b; ++i) lane[i] += c[i] * s;
    }
}

// R rows at once (R / 2 to each sum) over all columns, L columns per
// vector, then two, then one.
template <class V, std::size_t R>
[[gnu::always_inline]] inline void row_group(const MatView& x, std::size_t r, const double* z,
                                             double* even, double* odd) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    const std::size_t p = x.cols;
    const double* xr[R];
    for (std::size_t k = 0; k < R; ++k) xr[k] = x.data + static_cast<std::ptrdiff_t>(r + k) * x.row_stride;
    std::size_t j = 0;
    for (; j + L <= p; j += L) lane_step<V, R>(xr, j, z, even, odd);
    if constexpr (L > 2)
        for (; j + 2 <= p; j += 2) lane_step<vec2, R>(xr, j, z, even, odd);
    for (; j < p; ++j) lane_step<double, R>(xr, j, z, even, odd);
}

template <class V>
[[gnu::always_inline]] inline void row_cols(const MatView& x, std::size_t r0, std::size_t b,
                                            const double* z, double* even, double* odd) {
    std::size_t r = 0;
    for (; r + 8 <= b; r += 8) row_group<V, 8>(x, r0 + r, z + r, even, odd);
    for (; r + 2 <= b; r += 2) row_group<V, 2>(x, r0 + r, z + r, even, odd);
    if (r < b) {
        // The last row lies at an even offset.
        const double* xr = x.data + static_cast<std::ptrdiff_t>(r0 + r) * x.row_stride;
        for (std::size_t j = 0; j < x.cols; ++j) even[j] += xr[j] * z[r];
    }
}

struct ColRows {
    template <class V, int, int>
    [[gnu::always_inline]] static void run(const MatView& x, std::size_t r0, std::size_t b,
                                           std::size_t j0, std::size_t j1, const double* v,
                                           double* even, double* odd) {
        col_rows<V>(x, r0, b, j0, j1, v, even, odd);
    }
};
struct RowCols {
    template <class V, int, int>
    [[gnu::always_inline]] static void run(const MatView& x, std::size_t r0, std::size_t b,
                                           const double* z, double* even, double* odd) {
        row_cols<V>(x, r0, b, z, even, odd);
    }
};

}  // namespace

void col_rows_forward(const MatView& x, std::size_t r0, std::size_t b, std::size_t j0,
                      std::size_t j1, const double* v, double* even, double* odd) {
    run_at_lanes<ColRows>(widest_lanes(), "col_rows_forward: no kernel of that width", x, r0, b,
                          j0, j1, v, even, odd);
}

void row_cols_transposed(const MatView& x, std::size_t r0, std::size_t b, const double* z,
                         double* even, double* odd) {
    run_at_lanes<RowCols>(widest_lanes(), "row_cols_transposed: no kernel of that width", x, r0,
                          b, z, even, odd);
}

#undef VELTRA_LOAD
#undef VELTRA_STORE

}  // namespace veltra::detail
