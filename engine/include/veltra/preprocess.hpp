// The data as the fits see it: X and the response centred and scaled by the
// scale rule, the weights rescaled to mean one with their effective sample
// size. Every input is optional; what is absent stays absent. Runs on the
// calling thread and reads no settings.
#pragma once

#include <optional>
#include <variant>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/standardize.hpp"
#include "veltra/view.hpp"

namespace veltra {

struct PreprocessOutput {
    std::optional<Standardized> X;  // X_std, X_mean, X_scale
    // Y_std, Y_mean, Y_scale: a vector with two reals for a response vector,
    // a matrix with two vectors for a response matrix (even of one column).
    std::optional<std::variant<Standardized1, Standardized>> Y;
    std::optional<Eigen::VectorXd> weights_normalized;
    std::optional<double> n_eff;
};

// No response or a response vector y.
Result<PreprocessOutput> preprocess(std::optional<MatView> X, std::optional<VecView> y,
                                    std::optional<VecView> weights);

// A response matrix Y.
Result<PreprocessOutput> preprocess_block(std::optional<MatView> X, std::optional<MatView> Y,
                                          std::optional<VecView> weights);

}  // namespace veltra
