// Dense kernels that the rest of the engine calls instead of Eigen directly:
// products with an explicit parallelism setting, X'v for wide row-major X,
// LU solve, leverages, eigen and singular value decompositions, the
// orthogonal Procrustes rotation, the stable rank, the overflow-safe norm, and
// the dot products and sums of squares, each named by its order of operations.
//
// Inputs are borrowed views and are read in place whatever their strides
// (column-major, row-major, or any other stride, negative ones included);
// every matrix a kernel creates is an owned column-major Eigen::MatrixXd.
// Size mismatches are programming errors and stop the call (internal_check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include <Eigen/Core>

#include "veltra/parallel.hpp"
#include "veltra/view.hpp"

namespace veltra {

// A B (m x n). A product split among threads is cut by output entries into
// fixed parts, each entry computed by one task, and the same cut is used
// when it runs sequentially: the bits depend neither on `par` nor on the
// thread count.
Eigen::MatrixXd mat_mul(const MatView& a, const MatView& b, Par par);

// Eigen packs the blocks of both operands of one product within the
// third-level cache size that every product is planned for.
inline constexpr std::uint64_t product_packing_bytes = 2 * 1024 * 1024;

// Peak bytes of one mat_mul of an R x K and a K x C operand, both with a
// unit stride, beyond them (saturating): the result and the packed blocks of
// the parts that run at once.
std::uint64_t mat_mul_bytes(std::uint64_t rows, std::uint64_t indices, std::uint64_t cols);

// A x (length m), cut by output rows like mat_mul; reads A once.
Eigen::VectorXd mat_vec(const MatView& a, const VecView& x, Par par);

// The number of row parts mat_vec cuts an m x k A into (the parts of
// part_span), whatever `par`.
std::size_t mat_vec_parts(std::size_t m, std::size_t k);

// X'v (length p) for a row-major X with at least 2048 columns, reading X in
// place row block by row block; none for any other X (callers then use
// mat_vec on the transposed view). Uses v[0, n); v shorter than n is an
// internal failure. Every column sum runs in row order in one task, so the
// result is the same bits for every `par` and thread count.
std::optional<Eigen::VectorXd> row_major_t_mul(const MatView& x, const VecView& v, Par par);

// None when X is already column-major (row stride 1, column stride >= 0),
// else an owned column-major copy.
std::optional<Eigen::MatrixXd> col_major_or_copy(const MatView& x);

// B <- A^-1 B by LU with partial pivoting of a copy of A. No singularity
// test: a singular A leaves non-finite entries in B.
void lu_solve_in_place(const MatView& a, Eigen::MatrixXd& b);

// Diagonal of the hat matrix T (T'T)^-1 T' (length n; zeros when T has no
// columns).
Eigen::VectorXd leverage_diag(const MatView& t);

// Eigenvalues ascending; column i of `vectors` belongs to values[i].
struct EigenResult {
    Eigen::VectorXd values;
    Eigen::MatrixXd vectors;
};

// Self-adjoint eigendecomposition of a symmetric G (its lower triangle is
// read). None when the solver does not converge, which includes a G with a
// NaN or an infinity. `par` is a ceiling: the decompositions run on the
// calling thread, so a caller inside a parallel unit never starts tasks.
std::optional<EigenResult> self_adjoint_eigen(const MatView& g, Par par);

// The values of self_adjoint_eigen alone, with the same bits, at a fraction
// of the cost.
std::optional<Eigen::VectorXd> self_adjoint_eigenvalues(const MatView& g, Par par);

// M = U diag(s) V', r = min(m, n): U is m x r, V is n x r, s non-increasing.
struct ThinSvd {
    Eigen::MatrixXd U;
    Eigen::VectorXd s;
    Eigen::MatrixXd V;
};

// None when the decomposition does not converge or M is not finite. A long,
// narrow M is first reduced by QR in 8 fixed parts of its long side, run on
// the pool with par_parallel (the same bits either way); all else runs on
// the calling thread, as self_adjoint_eigen.
std::optional<ThinSvd> thin_svd(const MatView& m, Par par);

// The K x K orthogonal R = U V' from the SVD of A'B (A, B both m x K), the
// rotation that brings A closest to B. When the SVD fails every entry of R
// is NaN, so a failure can never pass for "no rotation needed".
Eigen::MatrixXd orthogonal_rotation(const MatView& a, const MatView& b);

// trace(A A') / largest eigenvalue of A A': 0 for an empty or all-zero A,
// NaN when A holds a NaN or an infinity. A A' is formed with `par`.
double stable_rank(const MatView& a, Par par);

// The same from a symmetric Gram matrix G = A A'.
double stable_rank_from_gram(const MatView& g, Par par);

// sqrt of the sum of squares of all entries, safe from overflow and
// underflow: the engine's one overflow-safe Euclidean norm. Summed column by
// column in index order, so the value does not depend on the storage order.
// 0 when empty or all zero, NaN when any entry is NaN, else +inf when any
// entry is infinite.
double stable_norm(const MatView& a);
double stable_norm(const VecView& v);

// a'b over n entries: one running sum in index order from zero, so that a
// value's arithmetic is fixed by its own data.
double dot(const double* a, const double* b, std::size_t n);
// The same over a.len entries of strided views; b shorter than a is an
// internal failure.
double dot(const VecView& a, const VecView& b);

// Z Z' (n x n) and A B' (r x s), each one ordered_product with setting par;
// shape mismatches are internal failures.
Eigen::MatrixXd gram_of(MatView z, Par par);
Eigen::MatrixXd cross_of(MatView a, MatView b, Par par);
// A x on the calling thread (mat_vec, sequential).
Eigen::VectorXd seq_gemv(MatView a, VecView x);

// Sums of squares of all entries, one function per order of operations
// (callers that must agree on bits call the same one):
//
// One running sum from zero in index order, column by column.
double sum_of_squares_in_order(const MatView& a);
double sum_of_squares_in_order(const VecView& v);
// The lines (columns of a column-major or strided X, rows of a row-major one)
// cut into the 8 fixed parts; within a part each contiguous line is summed
// by four interleaved running sums (entries 4i, 4i+1, 4i+2, 4i+3) carried
// across the part's lines and combined as q3 + (q2 + (q1 + q0)), a strided
// line by one running sum; the 8 part sums are added in part order from
// -0.0. The same bits with or without parallelism.
double sum_of_squares_line_chunks(MatView x, Par par);
// Per column, the rows cut into the 8 fixed parts, each one running sum in
// row order, the parts added in order; the columns added in order. The same
// bits in either storage order and with or without parallelism.
double sum_of_squares_row_parts(const MatView& x, Par par);
// Pairwise halving of x[0, n): up to 16 entries one running sum in index
// order, else the sum of the two halves (the first n / 2 entries and the
// rest).
double sum_of_squares_pairwise(const double* x, std::size_t n);

}  // namespace veltra
