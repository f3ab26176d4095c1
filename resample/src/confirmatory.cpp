#include "veltra/resample/confirmatory.hpp"

#include <string>

namespace veltra::resample {

Result<void> check_n_splits(std::uint64_t n_splits) {
    if (n_splits < 2)
        return fail(VeltraError::InvalidArgument{"n_splits must be ≥ 2, got " +
                                                 std::to_string(n_splits)});
    return {};
}

Result<void> check_split_exact_counts(std::optional<std::uint64_t> n_perm, std::uint64_t n_splits) {
    if (auto r = check_n_splits(n_splits); !r) return r;
    if (n_perm && *n_perm == 0)
        return fail(VeltraError::InvalidArgument{"n_perm must be ≥ 1, got 0"});
    return {};
}

}  // namespace veltra::resample
