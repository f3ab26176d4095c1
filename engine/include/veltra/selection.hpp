// Sparse selection of a weight vector: keep the largest magnitudes, shared by
// the PLS1 component loop, its Gram route and the sparse two-block fit.
#pragma once

#include <cstddef>
#include <optional>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/view.hpp"

namespace veltra {

// With keep given and below the length, zeroes every entry but the keep
// largest magnitudes (ranked by the bit pattern of |w_j|, so a NaN ranks above
// infinity; ties keep the lower index). Then scales w to unit 2-norm and
// returns true, or returns false and leaves w unscaled when its norm is below
// eps.
bool select_and_normalize(Eigen::VectorXd& w, std::optional<std::size_t> keep, double eps);

// The same, with the norm of w, when nothing is dropped, already known
// (stable_norm of w, the sigma of selected_norm_and_gap without selection).
bool select_and_normalize(Eigen::VectorXd& w, std::optional<std::size_t> keep, double eps,
                          std::optional<double> known_norm);

struct SelectedNorm {
    double sigma;  // 2-norm of the kept entries
    double gap;    // smallest kept magnitude minus largest dropped; +inf without selection
};

// The norm of the entries a selection with keep would retain, and the margin
// by which the selection is decided.
SelectedNorm selected_norm_and_gap(const Eigen::VectorXd& c, std::optional<std::size_t> keep);

}  // namespace veltra
