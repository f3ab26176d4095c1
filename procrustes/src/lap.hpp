// Linear assignment of k rows to k columns by the Jonker-Volgenant shortest
// augmenting path method, in the variant the alignment relies on.
#pragma once

#include <cstddef>
#include <vector>

namespace veltra::procrustes {

// Minimises sum_i cost[i][x[i]] over the one-to-one assignments x of rows to
// columns; `cost` is k x k, row-major. Returns for each column its row.
std::vector<std::size_t> lap(const std::vector<double>& cost, std::size_t k);

}  // namespace veltra::procrustes
