// Signed column permutation that brings one p x k matrix closest to another.
// PLS weights come back from a refit with their columns in any order and any
// sign; this undoes both before two fits are compared.
#pragma once

#include <cstddef>
#include <expected>
#include <vector>

#include <Eigen/Core>

#include "veltra/procrustes/error.hpp"

namespace veltra::procrustes {

// A read-only view of a matrix in any layout: element (r, c) sits at
// data[r * inner + c * outer]. It is the same type as the engine's strided
// view, so engine views pass straight in.
using MatrixView = Eigen::Map<const Eigen::MatrixXd, Eigen::Unaligned,
                              Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>>;

struct SignedPermutationOpts {
    // Reject NaN and infinity in either input; when clear the inputs are not
    // scanned and such values only make the permutation meaningless.
    bool check_finite = false;
};

struct SignedPermutation {
    // Column j of the aligned matrix is signs[j] times column perm[j] of `a`.
    std::vector<std::size_t> perm;
    std::vector<double> signs;  // each +1.0 or -1.0
    double residual = 0.0;      // Frobenius norm of (aligned a - reference)
};

// Maximises sum_j |a_perm[j] . reference_j|, which minimises the Frobenius
// distance. Every order is tried for k <= 3; from k = 4 on the order comes
// from a linear assignment. Pure: the result depends only on the inputs.
std::expected<SignedPermutation, ProcrustesError> signed_permutation(
    const MatrixView& a, const MatrixView& reference, SignedPermutationOpts opts);

}  // namespace veltra::procrustes
