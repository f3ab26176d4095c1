// The kernels of the PLS1 products whose vector lanes are independent
// outputs (rows of X v on a column-major X, columns of X'z on a row-major
// one), in two, four or eight lanes chosen at run time. A lane does the
// scalar operations of its output in the scalar order, so every width gives
// the same bits. Internal to the engine.
#pragma once

#include <cstddef>

#include "veltra/view.hpp"

namespace veltra::detail {

// Column-major X: even_i and odd_i (i < b) continue, in column order, their
// sums over the columns [j0, j1) of rows [r0, r0 + b): column j goes to
// even when j - j0 is even, scaled by v[j].
void col_rows_forward(const MatView& x, std::size_t r0, std::size_t b, std::size_t j0,
                      std::size_t j1, const double* v, double* even, double* odd);

// Row-major X: even_j and odd_j (j < X.cols) continue, in row order, their
// sums over rows [r0, r0 + b), scaled by z[i - r0]: row i goes to even when
// i - r0 is even.
void row_cols_transposed(const MatView& x, std::size_t r0, std::size_t b, const double* z,
                         double* even, double* odd);

}  // namespace veltra::detail
