// The check that refuses input data holding a NaN or an infinity, shared by
// the fits, the prediction and the two-block transform.
#pragma once

#include "veltra/error.hpp"
#include "veltra/parallel.hpp"
#include "veltra/view.hpp"

namespace veltra {

// Whether every entry is finite, scanning the matrix in its storage order
// and stopping at the first NaN or infinity.
bool all_finite(const MatView& x);

// Fails with non_finite_input when !all_finite(x).
Result<void> check_finite_mat(const MatView& x);

// The same outcome, the lines of the storage order cut into the 8 fixed
// parts and scanned on the current pool unless par is sequential.
Result<void> check_finite_mat(const MatView& x, Par par);

}  // namespace veltra
