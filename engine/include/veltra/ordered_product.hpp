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
#include <vector>

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

// X'B for an n x p X and an n x q B, formed a few columns of X at a time by
// a pass that reads X for its own ends; each entry has the operations of
// the same entry of ordered_product(X', B), so it is the same bits. B is
// copied once, row by row.
class OrderedXt {
public:
    // p is the row count of the product (X's columns; A's rows for
    // left_product), which with B's shape decides whether the sums are
    // split. Vectors of up to max_lanes lanes (8, 4 or 2) where the
    // processor has them; the bits are the same for every width.
    OrderedXt(const MatView& b, std::size_t p, Par par, std::size_t max_lanes = 8);

    // Entries per row of the blocks `columns` writes: q rounded up to a
    // multiple of 8.
    std::size_t ld() const { return ld_; }

    // Rows [c, c + w) of X'B for columns c .. c + w - 1 of X, column c + j
    // at a + j a_col with its row i at a stride of a_row: row j of the
    // block at out + j ld(), the entries past q meaningless. Meanwhile the
    // fetch_w columns from `fetch` (the same strides; the block a pass reads
    // next) are fetched into the cache, so that reading them overlaps with
    // the arithmetic.
    void columns(const double* a, std::ptrdiff_t a_col, std::ptrdiff_t a_row, std::size_t w,
                 double* out, const double* fetch = nullptr, std::size_t fetch_w = 0) const;

    // A B for an A of p rows over B's rows, as ordered_product(A, B) forms
    // it: a row-major A read in place, without copying it into panels.
    Eigen::MatrixXd left_product(const MatView& a, Par par) const;

private:
    std::size_t ld_;
    std::size_t width_;
    std::size_t lanes_;
    std::vector<double> packed_;      // B row by row, ld_ entries per row
    std::vector<std::size_t> cuts_;   // the parts' first rows, then n
};

}  // namespace veltra
