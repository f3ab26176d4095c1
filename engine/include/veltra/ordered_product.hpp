// A B for a large A read in place and a narrow B, with a fixed order of
// operations: the two-block fits' X'Y and X U.
//
// Every entry of A B (A: R x K, B: K x C) has one fixed order of
// operations, set by the shape alone:
//  - when the sum is split (splits_sum), the indices 0 .. K-1 are cut into
//    the 8 fixed parts of part_span; within a part the products
//    A(r, t) B(t, c) are added in index order to a running sum from zero;
//    the 8 part sums are added in part order;
//  - otherwise one running sum in index order from zero over all K indices.
// Each part sum, and each entry of an unsplit product, is formed by one
// task (the rows are then cut into the 8 fixed parts). So the same data give
// the same bits whatever the storage order of A or B, the parallelism
// setting or the thread count. How the sums are blocked, vectorised and
// interleaved follows the storage order and never changes an entry's
// operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include <Eigen/Core>

#include "veltra/parallel.hpp"
#include "veltra/view.hpp"

namespace veltra {

// Whether A B with A R x K and B K x C splits its sums: when the indices
// outnumber the rows and the 8 part products are small next to A. Each task
// then reads a band of A's columns (for X'Y, a band of X's rows).
bool splits_sum(std::size_t rows, std::size_t indices, std::size_t cols);

// A B (A.rows x B.cols, column-major). A and B may have any strides; A is
// read in place (copied a block at a time when its rows are not adjacent),
// B is copied once. Four- or eight-lane vectors are used where the
// processor has them, unless wide_vectors is false; the bits are the same
// either way.
Eigen::MatrixXd ordered_product(const MatView& a, const MatView& b, Par par,
                                bool wide_vectors = true);

// Peak bytes of one ordered_product of an R x K A and a K x C B beyond its
// operands (saturating): the result, B copied twice, the part products of a
// split sum, and the blocks and sums of the parts that run at once.
std::uint64_t ordered_product_bytes(std::uint64_t rows, std::uint64_t indices, std::uint64_t cols);

}  // namespace veltra
