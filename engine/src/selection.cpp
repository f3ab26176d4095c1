#include "veltra/selection.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "veltra/linalg.hpp"

namespace veltra {

namespace {

std::uint64_t magnitude_bits(double x) { return std::bit_cast<std::uint64_t>(std::abs(x)); }

// Indices ordered so that the `keep` highest-ranked entries come first:
// larger magnitude first, the lower index first among equal magnitudes.
std::vector<std::size_t> rank_first(const Eigen::VectorXd& v, std::size_t keep) {
    std::vector<std::size_t> idx(static_cast<std::size_t>(v.size()));
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    const auto higher = [&](std::size_t a, std::size_t b) {
        const auto ma = magnitude_bits(v[static_cast<Eigen::Index>(a)]);
        const auto mb = magnitude_bits(v[static_cast<Eigen::Index>(b)]);
        return ma != mb ? ma > mb : a < b;
    };
    std::nth_element(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(keep), idx.end(),
                     higher);
    return idx;
}

bool selects(std::optional<std::size_t> keep, Eigen::Index len) {
    return keep && *keep < static_cast<std::size_t>(len);
}

}  // namespace

bool select_and_normalize(Eigen::VectorXd& w, std::optional<std::size_t> keep, double eps) {
    if (selects(keep, w.size())) {
        const auto idx = rank_first(w, *keep);
        for (std::size_t r = *keep; r < idx.size(); ++r) w[static_cast<Eigen::Index>(idx[r])] = 0.0;
    }
    const double norm = stable_norm(VecView::of(w));
    if (!(norm >= eps)) return false;
    const double inv = 1.0 / norm;
    w *= inv;
    return true;
}

SelectedNorm selected_norm_and_gap(const Eigen::VectorXd& c, std::optional<std::size_t> keep) {
    if (!selects(keep, c.size()))
        return {stable_norm(VecView::of(c)), std::numeric_limits<double>::infinity()};
    auto idx = rank_first(c, *keep);
    // Which of tied magnitudes is kept does not change the norm; summing the
    // kept entries in index order keeps the bits independent of the partition.
    std::sort(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(*keep));
    Eigen::VectorXd kept(static_cast<Eigen::Index>(*keep));
    double smallest_kept = std::numeric_limits<double>::infinity();
    for (std::size_t r = 0; r < *keep; ++r) {
        const double m = std::abs(c[static_cast<Eigen::Index>(idx[r])]);
        kept[static_cast<Eigen::Index>(r)] = m;
        smallest_kept = std::min(smallest_kept, m);
    }
    double largest_dropped = 0.0;
    for (std::size_t r = *keep; r < idx.size(); ++r)
        largest_dropped = std::max(largest_dropped, std::abs(c[static_cast<Eigen::Index>(idx[r])]));
    return {stable_norm(VecView::of(kept)), smallest_kept - largest_dropped};
}

Result<void> check_finite_mat(const MatView& x, Par par) {
    const bool by_rows = x.is_row_major();
    const std::size_t outer = by_rows ? x.rows : x.cols;
    const std::size_t inner = by_rows ? x.cols : x.rows;
    const std::ptrdiff_t outer_stride = by_rows ? x.row_stride : x.col_stride;
    const std::ptrdiff_t inner_stride = by_rows ? x.col_stride : x.row_stride;
    std::array<bool, fixed_parts> bad{};
    for_each_part(par, outer, [&](std::size_t part, IndexSpan s) {
        for (std::size_t o = s.begin; o < s.end && !bad[part]; ++o) {
            const double* line = x.data + static_cast<std::ptrdiff_t>(o) * outer_stride;
            // x - x is 0 for a finite x and NaN otherwise; summed without a
            // branch so that a contiguous line runs at the speed of memory.
            double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
            std::size_t i = 0;
            if (inner_stride == 1) {
                for (; i + 4 <= inner; i += 4) {
                    a0 += line[i] - line[i];
                    a1 += line[i + 1] - line[i + 1];
                    a2 += line[i + 2] - line[i + 2];
                    a3 += line[i + 3] - line[i + 3];
                }
            }
            for (; i < inner; ++i) {
                const double v = line[static_cast<std::ptrdiff_t>(i) * inner_stride];
                a0 += v - v;
            }
            if (std::isnan((a0 + a1) + (a2 + a3))) bad[part] = true;
        }
    });
    for (bool b : bad)
        if (b) return fail(VeltraError::NonFiniteInput{});
    return {};
}

Result<void> check_finite_mat(const MatView& x) {
    const bool by_rows = x.is_row_major();
    const std::size_t outer = by_rows ? x.rows : x.cols;
    const std::size_t inner = by_rows ? x.cols : x.rows;
    for (std::size_t o = 0; o < outer; ++o)
        for (std::size_t i = 0; i < inner; ++i)
            if (!std::isfinite(by_rows ? x(o, i) : x(i, o))) return fail(VeltraError::NonFiniteInput{});
    return {};
}

}  // namespace veltra
