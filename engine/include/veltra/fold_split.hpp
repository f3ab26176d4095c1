// The split of an index order into cross-validation folds.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace veltra {

// k contiguous slices of `order`, in fold order; the first n mod k folds
// hold one index more. Shuffle `order` first for random folds. k >= 1.
std::vector<std::vector<std::size_t>> fold_split(std::span<const std::size_t> order,
                                                 std::size_t k);

}  // namespace veltra
