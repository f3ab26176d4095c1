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
