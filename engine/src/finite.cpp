#include "veltra/finite.hpp"

#include <array>
#include <cmath>
#include <cstddef>

#include "simd2.hpp"

namespace veltra {

namespace {

// Whether a line of `inner` entries `stride` apart holds only finite values:
// x - x is 0 for a finite x and NaN otherwise; summed without a branch so
// that a contiguous line runs at the speed of memory.
bool line_finite(const double* line, std::size_t inner, std::ptrdiff_t stride) {
    using detail::load2;
    detail::v2d a[4] = {};
    std::size_t i = 0;
    if (stride == 1) {
        for (; i + 8 <= inner; i += 8)
            for (std::size_t k = 0; k < 4; ++k) {
                const detail::v2d v = load2(line + i + 2 * k);
                a[k] += v - v;
            }
    }
    double s = 0.0;
    for (; i < inner; ++i) {
        const double v = line[static_cast<std::ptrdiff_t>(i) * stride];
        s += v - v;
    }
    const detail::v2d t = (a[0] + a[1]) + (a[2] + a[3]);
    return !std::isnan((t[0] + t[1]) + s);
}

struct Lines {
    std::size_t outer, inner;
    std::ptrdiff_t outer_stride, inner_stride;
    explicit Lines(const MatView& x) {
        const bool by_rows = x.is_row_major();
        outer = by_rows ? x.rows : x.cols;
        inner = by_rows ? x.cols : x.rows;
        outer_stride = by_rows ? x.row_stride : x.col_stride;
        inner_stride = by_rows ? x.col_stride : x.row_stride;
    }
};

}  // namespace

Result<void> check_finite_mat(const MatView& x, Par par) {
    const Lines l(x);
    std::array<bool, fixed_parts> bad{};
    for_each_part(par, l.outer, [&](std::size_t part, IndexSpan s) {
        for (std::size_t o = s.begin; o < s.end && !bad[part]; ++o)
            if (!line_finite(x.data + static_cast<std::ptrdiff_t>(o) * l.outer_stride, l.inner,
                             l.inner_stride))
                bad[part] = true;
    });
    for (bool b : bad)
        if (b) return fail(VeltraError::NonFiniteInput{});
    return {};
}

bool all_finite(const MatView& x) {
    const Lines l(x);
    for (std::size_t o = 0; o < l.outer; ++o)
        if (!line_finite(x.data + static_cast<std::ptrdiff_t>(o) * l.outer_stride, l.inner,
                         l.inner_stride))
            return false;
    return true;
}

bool all_finite(const VecView& v) { return line_finite(v.data, v.len, v.stride); }

Result<void> check_finite_mat(const MatView& x) {
    if (!all_finite(x)) return fail(VeltraError::NonFiniteInput{});
    return {};
}

}  // namespace veltra
