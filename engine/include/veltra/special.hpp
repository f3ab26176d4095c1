// Log-gamma, the regularized incomplete beta function and the split of an
// index order into cross-validation folds. The constants and the order of
// operations below fix the bits of every p-value built on them: change
// nothing without re-deriving the reference p-values.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace veltra {

// ln Γ(x) by the Lanczos approximation (g = 7, nine terms), with reflection
// below 0.5. NaN in, NaN out.
double lanczos_lgamma(double x);

// I_x(a, b) by the modified Lentz continued fraction (at most 200 steps).
// x <= 0 gives 0, x >= 1 gives 1, NaN x gives NaN.
double betainc(double a, double b, double x);

// k contiguous slices of `order`, in fold order; the first n mod k folds
// hold one index more. Shuffle `order` first for random folds. k >= 1.
std::vector<std::vector<std::size_t>> fold_split(std::span<const std::size_t> order,
                                                 std::size_t k);

}  // namespace veltra
