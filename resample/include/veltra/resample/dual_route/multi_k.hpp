// PLS1 in n-space: many refits of one standardised Z (n x p) with many
// response columns, carried by n-vectors and the n x n Gram matrix G = ZZ'
// instead of p-vectors. Cheap when n is small next to p.
//
// The kernel returns per column the dual coefficients alpha, with
// beta = Z'alpha the coefficients of the standardised problem and
// (Z_new Z') alpha the predictions for standardised new rows. Every step is
// checked against an allowance for the rounding of the Gram products and of
// the earlier steps; a column that fails a check is Unresolved, never a
// number, and its caller recomputes it by an exact refit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <Eigen/Core>

#include "veltra/parallel.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

// What the kernel reads of a Gram structure; the structure it points into
// must outlive it.
struct NspaceGramView {
    MatView gram;             // n x n, any strides
    double fro_norm = 0.0;    // ||Z||_F
    double norm_bound = 0.0;  // at least the largest eigenvalue of G
    std::uint64_t n_features = 0;
};

// Built once per matrix and shared read-only, possibly across threads.
struct NspaceGram {
    Eigen::MatrixXd gram;  // G = ZZ'
    double fro_norm = 0.0;
    double norm_bound = 0.0;
    std::uint64_t n_features = 0;

    NspaceGram() = default;
    // From the standardised Z itself; par is the caller's setting for ZZ'.
    NspaceGram(MatView z, Par par);
    // From a given Gram matrix of n_features columns: fro_norm is the square
    // root of its trace. A non-square G is a broken invariant.
    static NspaceGram from_gram(MatView g, std::uint64_t n_features);

    std::size_t n() const { return static_cast<std::size_t>(gram.rows()); }
    NspaceGramView view() const { return {MatView::of(gram), fro_norm, norm_bound, n_features}; }
};

struct NspaceOutcome {
    enum class Kind : std::uint8_t { Coefficients, Zero, Unresolved };
    Kind kind = Kind::Unresolved;
    std::size_t k_used = 0;  // Coefficients: the requested k
    Eigen::VectorXd alpha;   // Coefficients: n dual coefficients

    bool is(Kind k) const { return kind == k; }
};

// An over-estimate of the largest eigenvalue of the symmetric positive
// semi-definite G, never above fro_norm^2: twice a power-iteration Rayleigh
// quotient, raised where needed to a bound that always holds.
double gram_norm_bound(MatView g, double fro_norm);

// The k-component PLS1 fit of every column of Y (n x m, standardised
// responses), in column order. Never fails: every doubt is Unresolved. A
// column's outcome does not depend on the other columns given with it.
std::vector<NspaceOutcome> nspace_kernel_cols(const NspaceGramView& g, MatView y, std::size_t k);

// Peak bytes of nspace_kernel_cols on an n x n Gram matrix with the given
// number of columns (saturating): per column its residual, four n x k
// blocks and its dual coefficients, and the product with G of a step.
std::uint64_t nspace_kernel_bytes(std::uint64_t n, std::uint64_t k, std::uint64_t columns);

}  // namespace veltra::resample
