// Two adjacent doubles as one vector register: SSE2 on x86-64, NEON on Arm,
// through the compiler's vector extension. Only exact IEEE operations are
// applied to it, so each lane gives the bits of the scalar code.
#pragma once

#include <cstring>

namespace veltra::detail {

typedef double v2d __attribute__((vector_size(16)));
typedef long long v2i __attribute__((vector_size(16)));

// Loads and stores at any address of a double.
inline v2d load2(const double* p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store2(double* p, v2d v) { std::memcpy(p, &v, sizeof v); }
inline v2d splat(double a) { return v2d{a, a}; }

}  // namespace veltra::detail
