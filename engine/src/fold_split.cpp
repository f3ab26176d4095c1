#include "veltra/fold_split.hpp"

#include "veltra/error.hpp"

namespace veltra {

std::vector<std::vector<std::size_t>> fold_split(std::span<const std::size_t> order,
                                                 std::size_t k) {
    internal_check(k >= 1, "fold_split needs at least one fold");
    const std::size_t q = order.size() / k;
    const std::size_t s = order.size() % k;
    std::vector<std::vector<std::size_t>> folds(k);
    std::size_t start = 0;
    for (std::size_t f = 0; f < k; ++f) {
        const std::size_t len = q + (f < s ? 1 : 0);
        folds[f].assign(order.begin() + start, order.begin() + start + len);
        start += len;
    }
    return folds;
}

}  // namespace veltra
