#include "veltra/selection.hpp"

#include <algorithm>
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
        const auto ma = magnitude_bits(v[to_index(a)]);
        const auto mb = magnitude_bits(v[to_index(b)]);
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
    return select_and_normalize(w, keep, eps, std::nullopt);
}

bool select_and_normalize(Eigen::VectorXd& w, std::optional<std::size_t> keep, double eps,
                          std::optional<double> known_norm) {
    const bool drops = selects(keep, w.size());
    if (drops) {
        const auto idx = rank_first(w, *keep);
        for (std::size_t r = *keep; r < idx.size(); ++r) w[to_index(idx[r])] = 0.0;
    }
    const double norm = known_norm && !drops ? *known_norm : stable_norm(VecView::of(w));
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
    Eigen::VectorXd kept(to_index(*keep));
    double smallest_kept = std::numeric_limits<double>::infinity();
    for (std::size_t r = 0; r < *keep; ++r) {
        const double m = std::abs(c[to_index(idx[r])]);
        kept[to_index(r)] = m;
        smallest_kept = std::min(smallest_kept, m);
    }
    double largest_dropped = 0.0;
    for (std::size_t r = *keep; r < idx.size(); ++r)
        largest_dropped = std::max(largest_dropped, std::abs(c[to_index(idx[r])]));
    return {stable_norm(VecView::of(kept)), smallest_kept - largest_dropped};
}

}  // namespace veltra
