// The products of the PLS1 component loop for a block of responses at once:
// X V and X'Z, where V and Z hold one response per column. Internal to the
// engine.
//
// Every output entry has the order of operations of the single-response
// products of xs_products.hpp (the same parts, the same two interleaved
// running sums, the same combination), whatever the other responses of the
// block: a response gets the bits it would get alone. The block only changes
// how X is read: each entry of X, once loaded, serves a vector of responses,
// so X is read once per block instead of once per response.
#pragma once

#include <cstddef>

#include "veltra/numeric.hpp"
#include "veltra/view.hpp"

namespace veltra::detail {

// A block matrix holds `rows` rows of `ld` doubles, response c of row i at
// data[i * ld + c]. ld is a multiple of block_lanes; the entries past the
// block's responses are computed like the others and mean nothing.
inline constexpr std::size_t block_lanes = 8;

// The smallest multiple of block_lanes that holds `width` responses.
static_assert(block_lanes == 8, "a block row is ceil8 of its responses");
constexpr std::size_t block_ld(std::size_t width) {
    return static_cast<std::size_t>(ceil8(width));
}

// The vectors of the products: 8, 4 or 2 lanes, the widest the processor
// has up to max_lanes. The bits are the same for every width.
std::size_t block_vector_lanes(std::size_t max_lanes);

// T = X V on the calling thread: V is X.cols x ld, T X.rows x ld; `lanes`
// from block_vector_lanes.
void x_times_block(const MatView& x, const double* v, std::size_t ld, double* t,
                   std::size_t lanes);

// G = X'Z on the calling thread: Z is X.rows x ld, G X.cols x ld.
void xt_times_block(const MatView& x, const double* z, std::size_t ld, double* g,
                    std::size_t lanes);

// A X on the calling thread for a column-major A (rows x cols, any column
// stride) with at least two rows: X is A.cols x ld, the result A.rows x ld.
// Each lane is the bits of the matrix library's product of A with that
// lane's vector (Eigen's column-major matrix-vector kernel: column blocks of
// one running sum each, added in order), which mat_vec runs on any part of
// two or more rows.
void mat_vec_block(const MatView& a, const double* x, std::size_t ld, double* out,
                   std::size_t lanes);

}  // namespace veltra::detail
