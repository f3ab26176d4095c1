// Varimax rotation of a weight matrix, optionally chosen on a second matrix.
#pragma once

#include <cstdint>
#include <optional>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/parallel.hpp"
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

// A PLS1 model turned by the rotation of its weights: T R, P R, W R and
// R' Q, so that T_rot Q_rot = T Q.
struct RotatedModel {
    RotateOutput rotation;  // W_rot and R
    Eigen::MatrixXd T_rot;  // n x K
    Eigen::MatrixXd P_rot;  // p x K
    Eigen::VectorXd Q_rot;  // K
};

// The shapes that let the rotation of W (p x K) turn the rest of a model:
// T and P with K columns, P with p rows, Q of length K. A mismatch is an
// invalid_argument naming the field.
Result<void> check_model_shapes(MatView T, MatView P, MatView W, VecView Q);

// Checks the shapes, rotates W as `rotate` does and turns T, P and Q by the
// same R. The products run under `par`; a caller inside a parallel unit
// passes par_sequential.
Result<RotatedModel> rotate_model(MatView T, MatView P, MatView W, VecView Q,
                                  const VarimaxOpts& opts, std::optional<MatView> L, Par par);

// The varimax criterion sum_j (s4_j / m - (s2_j / m)^2) of a matrix.
double varimax_criterion(const Eigen::MatrixXd& A);

}  // namespace veltra
