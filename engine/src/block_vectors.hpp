// The vector types of the block kernels: one response per lane, in two,
// four or eight lanes. The wider kernels are compiled for AVX and AVX-512
// and chosen at run time; every width gives the same bits.
#pragma once

namespace veltra::detail {

typedef double vec2 __attribute__((vector_size(16)));
#if defined(__x86_64__)
#define VELTRA_WIDE_BLOCKS 1
typedef double vec4 __attribute__((vector_size(32)));
typedef double vec8 __attribute__((vector_size(64)));
#endif

}  // namespace veltra::detail
