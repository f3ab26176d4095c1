// Varimax rotation of a weight matrix, optionally chosen on a second matrix.
#pragma once

#include <cstdint>
#include <optional>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/view.hpp"

namespace veltra {

struct VarimaxOpts {
    std::uint64_t max_iter = 50;
    double tol = 1e-8;
    bool kaiser_normalize = true;
};

struct RotateOutput {
    Eigen::MatrixXd W_rot;  // p x K, W R
    Eigen::MatrixXd R;      // K x K, orthogonal
    std::uint64_t sweeps = 0;
    double V_converged = 0.0;
};

// Finds the orthogonal R maximising the varimax criterion of L (of W when L
// is absent) by sweeps of planar rotations, and returns W R with R. Runs on
// the calling thread.
Result<RotateOutput> rotate(MatView W, const VarimaxOpts& opts,
                            std::optional<MatView> L = std::nullopt);

// The varimax criterion sum_j (s4_j / m - (s2_j / m)^2) of a matrix.
double varimax_criterion(const Eigen::MatrixXd& A);

}  // namespace veltra
