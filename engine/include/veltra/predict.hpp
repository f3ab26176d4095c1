// PLS1 prediction: each row of X_new times the model's raw-scale
// coefficients, plus its intercept. Runs on the calling thread. X_new is read
// in place in any layout, and every layout gives the same bits.
#pragma once

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/fit.hpp"
#include "veltra/view.hpp"

namespace veltra {

// Fails with dimension_mismatch when X_new's columns differ from the number
// of coefficients, and with non_finite_input at any NaN or infinity in X_new.
Result<Eigen::VectorXd> pls1_predict(const Pls1Model& model, MatView x_new);

}  // namespace veltra
