#include "veltra/resample/resample.hpp"

#include <algorithm>
#include <numeric>

#include "veltra/settings.hpp"

namespace veltra::resample {

std::uint64_t units_at_once(std::uint64_t n_units, std::uint64_t bytes_per_unit) {
    if (n_units == 0) return 0;
    if (bytes_per_unit == 0) return n_units;
    const std::uint64_t budget = memory_budget_bytes();
    if (bytes_per_unit > budget) return 1;
    return std::min(budget / bytes_per_unit, n_units);
}

std::vector<std::uint64_t> shuffled_rows(std::size_t n, ChaCha8Rng& rng) {
    std::vector<std::uint64_t> perm(n);
    std::iota(perm.begin(), perm.end(), std::uint64_t{0});
    if (n >= 2) partial_shuffle(std::span<std::uint64_t>(perm), rng, n);
    return perm;
}

SplitIdx one_split(std::size_t n, std::size_t m, ChaCha8Rng& rng) {
    internal_check(m <= n, "one_split: more training rows than rows");
    const std::vector<std::uint64_t> perm = shuffled_rows(n, rng);
    const auto cut = perm.begin() + static_cast<std::ptrdiff_t>(m);
    return {std::vector<std::uint64_t>(perm.begin(), cut), std::vector<std::uint64_t>(cut, perm.end())};
}

Eigen::VectorXd Columns::column(std::size_t j) const {
    internal_check(j <= seeds_.size(), "permutation column beyond the seeds");
    const std::size_t n = y_.len;
    Eigen::VectorXd out(to_index(n));
    if (j == 0) {
        for (std::size_t i = 0; i < n; ++i) out[to_index(i)] = y_[i];
        return out;
    }
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seeds_[j - 1]);
    const std::vector<std::uint64_t> perm = shuffled_rows(n, rng);
    for (std::size_t i = 0; i < n; ++i) out[to_index(i)] = y_[perm[i]];
    return out;
}

std::uint64_t fold_blocks_bytes(std::uint64_t n, std::span<const std::vector<std::size_t>> folds,
                                std::uint64_t p) {
    std::uint64_t most = 0;
    for (const auto& fold : folds) {
        const std::uint64_t t = fold.size();
        most = std::max(most, split_blocks_bytes(n - std::min(t, n), t, p));
    }
    return most;
}

}  // namespace veltra::resample
