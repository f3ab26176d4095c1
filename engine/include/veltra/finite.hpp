// The check that refuses input data holding a NaN or an infinity, shared by
// the fits, the prediction and the two-block transform.
#pragma once

#include "veltra/error.hpp"
#include "veltra/parallel.hpp"
#include "veltra/view.hpp"

namespace veltra {

// No NaN and no infinity in any entry; the matrix is scanned in its storage
// order up to the first such entry.
bool all_finite(const MatView& x);
bool all_finite(const VecView& v);

// Fails with non_finite_input when !all_finite(x).
Result<void> check_finite_mat(const MatView& x);

// The same outcome, the lines of the storage order cut into the 8 fixed
// parts and scanned on the current pool unless par is sequential.
Result<void> check_finite_mat(const MatView& x, Par par);

}  // namespace veltra
