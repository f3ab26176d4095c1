// Pieces shared by the two-block fit sources.
#pragma once

#include <string_view>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/pls3.hpp"

namespace veltra::pls3_detail {

// A cross covariance that is not finite: non_finite_input when a
// standardised block is not finite, else the overflow of finite blocks.
Result<void> check_cross_cov(const Prepared& prepared, const Eigen::MatrixXd& C);

// Values and scores that overflowed from finite blocks.
Result<void> check_model(const Pls3Model& m);

// The fit's rounding-error floor of the component values.
double fit_threshold(const Prepared& prepared);

// The first component of C as dense_components(C, 1, sequential, threshold)
// gives it, up to rounding, without its full SVD whenever the first pair can
// be vouched for; otherwise (and always for small C) dense_components itself.
Result<Components> first_dense_component(const Eigen::MatrixXd& C,
                                         const ThresholdProvider& threshold);

}  // namespace veltra::pls3_detail
