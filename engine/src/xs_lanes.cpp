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
        for (; i + L <= b; i += L) {
            VELTRA_LOAD(V, e, even + i);
            VELTRA_LOAD(V, o, odd + i);
            for (std::size_t k = 0; k < 8; k += 2) {
                VELTRA_LOAD(V, a0, c[k] + i);
                VELTRA_LOAD(V, a1, c[k + 1] + i);
                e += a0 * v[j + k];
                o += a1 * v[j + k + 1];
            }
            VELTRA_STORE(even + i, e);
            VELTRA_STORE(odd + i, o);
        }
        if constexpr (L > 2)
            for (; i + 2 <= b; i += 2) {
                VELTRA_LOAD(vec2, e, even + i);
                VELTRA_LOAD(vec2, o, odd + i);
                for (std::size_t k = 0; k < 8; k += 2) {
                    VELTRA_LOAD(vec2, a0, c[k] + i);
                    VELTRA_LOAD(vec2, a1, c[k + 1] + i);
                    e += a0 * v[j + k];
                    o += a1 * v[j + k + 1];
                }
                VELTRA_STORE(even + i, e);
                VELTRA_STORE(odd + i, o);
            }
        for (; i < b; ++i) {
            double e = even[i], o = odd[i];
            for (std::size_t k = 0; k < 8; k += 2) {
                e += c[k][i] * v[j + k];
                o += c[k + 1][i] * v[j + k + 1];
            }
            even[i] = e, odd[i] = o;
        }
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
    for (; j + L <= p; j += L) {
        VELTRA_LOAD(V, e, even + j);
        VELTRA_LOAD(V, o, odd + j);
        for (std::size_t k = 0; k < R; k += 2) {
            VELTRA_LOAD(V, a0, xr[k] + j);
            VELTRA_LOAD(V, a1, xr[k + 1] + j);
            e += a0 * z[k];
            o += a1 * z[k + 1];
        }
        VELTRA_STORE(even + j, e);
        VELTRA_STORE(odd + j, o);
    }
    if constexpr (L > 2)
        for (; j + 2 <= p; j += 2) {
            VELTRA_LOAD(vec2, e, even + j);
            VELTRA_LOAD(vec2, o, odd + j);
            for (std::size_t k = 0; k < R; k += 2) {
                VELTRA_LOAD(vec2, a0, xr[k] + j);
                VELTRA_LOAD(vec2, a1, xr[k + 1] + j);
                e += a0 * z[k];
                o += a1 * z[k + 1];
            }
            VELTRA_STORE(even + j, e);
            VELTRA_STORE(odd + j, o);
        }
    for (; j < p; ++j) {
        double e = even[j], o = odd[j];
        for (std::size_t k = 0; k < R; k += 2) {
            e += xr[k][j] * z[k];
            o += xr[k + 1][j] * z[k + 1];
        }
        even[j] = e, odd[j] = o;
    }
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

void col_rows2(const MatView& x, std::size_t r0, std::size_t b, std::size_t j0, std::size_t j1,
               const double* v, double* even, double* odd) {
    col_rows<vec2>(x, r0, b, j0, j1, v, even, odd);
}
void row_cols2(const MatView& x, std::size_t r0, std::size_t b, const double* z, double* even,
               double* odd) {
    row_cols<vec2>(x, r0, b, z, even, odd);
}

#ifdef VELTRA_WIDE_BLOCKS
__attribute__((target("avx"))) void col_rows4(const MatView& x, std::size_t r0, std::size_t b,
                                              std::size_t j0, std::size_t j1, const double* v,
                                              double* even, double* odd) {
    col_rows<vec4>(x, r0, b, j0, j1, v, even, odd);
}
__attribute__((target("avx512f"))) void col_rows8(const MatView& x, std::size_t r0,
                                                  std::size_t b, std::size_t j0, std::size_t j1,
                                                  const double* v, double* even, double* odd) {
    col_rows<vec8>(x, r0, b, j0, j1, v, even, odd);
}
__attribute__((target("avx"))) void row_cols4(const MatView& x, std::size_t r0, std::size_t b,
                                              const double* z, double* even, double* odd) {
    row_cols<vec4>(x, r0, b, z, even, odd);
}
__attribute__((target("avx512f"))) void row_cols8(const MatView& x, std::size_t r0,
                                                  std::size_t b, const double* z, double* even,
                                                  double* odd) {
    row_cols<vec8>(x, r0, b, z, even, odd);
}

// The widest lanes the processor offers: 8, 4 or 2.
std::size_t cpu_lanes() {
    static const std::size_t lanes = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) return std::size_t{8};
        return __builtin_cpu_supports("avx") ? std::size_t{4} : std::size_t{2};
    }();
    return lanes;
}
#endif

}  // namespace

void col_rows_forward(const MatView& x, std::size_t r0, std::size_t b, std::size_t j0,
                      std::size_t j1, const double* v, double* even, double* odd) {
#ifdef VELTRA_WIDE_BLOCKS
    const std::size_t lanes = cpu_lanes();
    if (lanes == 8) return col_rows8(x, r0, b, j0, j1, v, even, odd);
    if (lanes == 4) return col_rows4(x, r0, b, j0, j1, v, even, odd);
#endif
    col_rows2(x, r0, b, j0, j1, v, even, odd);
}

void row_cols_transposed(const MatView& x, std::size_t r0, std::size_t b, const double* z,
                         double* even, double* odd) {
#ifdef VELTRA_WIDE_BLOCKS
    const std::size_t lanes = cpu_lanes();
    if (lanes == 8) return row_cols8(x, r0, b, z, even, odd);
    if (lanes == 4) return row_cols4(x, r0, b, z, even, odd);
#endif
    row_cols2(x, r0, b, z, even, odd);
}

#undef VELTRA_LOAD
#undef VELTRA_STORE

}  // namespace veltra::detail
