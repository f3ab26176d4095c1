// The vector types of the block kernels: one response per lane, in two,
// four or eight lanes. The wider kernels are compiled for AVX and AVX-512
// and chosen at run time; every width gives the same bits.
#pragma once

#include <cstddef>
#include <cstring>

#include "veltra/error.hpp"

namespace veltra::detail {

typedef double vec2 __attribute__((vector_size(16)));
#if defined(__x86_64__)
#define VELTRA_WIDE_BLOCKS 1
typedef double vec4 __attribute__((vector_size(32)));
typedef double vec8 __attribute__((vector_size(64)));
#endif

// The RT x NV sums of a tile from zero, or from the tile of out (row r,
// vector v at out + r ld + v L) to go on with.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void start_tile(V (&acc)[RT][NV], const double* out, std::size_t ld,
                                              bool from_zero) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    for (int r = 0; r < RT; ++r)
        for (int v = 0; v < NV; ++v) {
            acc[r][v] = V{};
            if (!from_zero) std::memcpy(&acc[r][v], out + r * ld + v * L, sizeof(V));
        }
}

// acc[r][v] += A(r, t) B(t, v) for t in [begin, end), in index order: a at
// A(0, 0) with strides a_r, a_t; B row t at b + t ld. on_index(t) runs
// before index t (a prefetch, or nothing).
template <class V, int RT, int NV, class OnIndex>
[[gnu::always_inline]] inline void add_index_range(V (&acc)[RT][NV], const double* a,
                                                   std::ptrdiff_t a_r, std::ptrdiff_t a_t,
                                                   std::size_t begin, std::size_t end,
                                                   const double* b, std::size_t ld,
                                                   OnIndex on_index) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    for (std::size_t t = begin; t < end; ++t) {
        on_index(t);
        const double* at = a + static_cast<std::ptrdiff_t>(t) * a_t;
        V bt[NV];
        for (int v = 0; v < NV; ++v) std::memcpy(&bt[v], b + t * ld + v * L, sizeof(V));
        for (int r = 0; r < RT; ++r) {
            const double s = at[r * a_r];
            for (int v = 0; v < NV; ++v) acc[r][v] += s * bt[v];
        }
    }
}

// The first part of a sum stores it at dst, a later one adds it to the sum
// so far (so_far + s, in that order).
template <class V>
[[gnu::always_inline]] inline void store_or_add(double* dst, V s, bool first) {
    if (!first) {
        V so_far;
        std::memcpy(&so_far, dst, sizeof(V));
        s = so_far + s;
    }
    std::memcpy(dst, &s, sizeof(V));
}

// The widest vectors of the processor: 8, 4 or 2 lanes.
inline std::size_t widest_lanes() {
#ifdef VELTRA_WIDE_BLOCKS
    static const std::size_t lanes = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) return std::size_t{8};
        return __builtin_cpu_supports("avx") ? std::size_t{4} : std::size_t{2};
    }();
    return lanes;
#else
    return 2;
#endif
}

// A kernel K is a struct with a static template run<V, RT, NV>(args...):
// V the vector type, RT rows of the operand by NV vectors per tile. Each
// width is its own function, so that only it is compiled for its
// instruction set; the tile shapes suit the registers of each.
template <class K, class... A>
void run_vec2(A... a) {
    K::template run<vec2, 2, 2>(a...);
}
#ifdef VELTRA_WIDE_BLOCKS
template <class K, class... A>
__attribute__((target("avx"))) void run_vec4(A... a) {
    K::template run<vec4, 2, 2>(a...);
}
template <class K, class... A>
__attribute__((target("avx512f"))) void run_vec8(A... a) {
    K::template run<vec8, 4, 2>(a...);
}
#endif

// Runs K at the width of `lanes` (from block_vector_lanes); `what` names
// the caller in the failure of a width without a kernel.
template <class K, class... A>
void run_at_lanes(std::size_t lanes, const char* what, A... a) {
#ifdef VELTRA_WIDE_BLOCKS
    if (lanes == 8) return run_vec8<K>(a...);
    if (lanes == 4) return run_vec4<K>(a...);
#endif
    internal_check(lanes == 2, what);
    run_vec2<K>(a...);
}

}  // namespace veltra::detail
