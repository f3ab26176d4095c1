// A B for a block B of many response columns held row by row, one response
// per vector lane: the no-refit products of a split (Z_train' Y and Z_test
// times that, or the Gram matrix times Y) for a thousand permuted responses
// at once.
//
// Every entry of the result is one running sum over the indices in index
// order, from zero (or from the entry already there, when adding), with one
// multiplication and one addition per index, never fused. Lanes across the
// responses leave that order alone: the bits are the same for every vector
// width (8, 4 or 2 lanes, the widest the processor has), every blocking of
// the loops and every storage order of A.
#pragma once

#include <cstddef>
#include <cstdint>

#include "veltra/numeric.hpp"
#include "veltra/view.hpp"

namespace veltra {

// The row length of a response block of `columns` responses: a multiple of
// the widest vector. The entries past the responses are computed like the
// others and mean nothing.
constexpr std::size_t lane_ld(std::size_t columns) {
    return static_cast<std::size_t>(ceil8(columns));
}

// out = A B, or out + A B when `add`, on the calling thread. B holds A.cols
// rows of ld doubles (response c of index t at b[t ld + c]), out A.rows rows
// of ld; ld is a multiple of 8. max_lanes caps the vector width (the bits do
// not depend on it).
void lane_product(const MatView& a, const double* b, std::size_t ld, double* out, bool add,
                  std::size_t max_lanes = 8);

}  // namespace veltra
