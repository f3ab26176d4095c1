#include <algorithm>
#include <vector>

#include "veltra/component_block.hpp"
#include "veltra/error.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/parallel.hpp"
#include "xs_block_products.hpp"

namespace veltra {

namespace {

// Vectors multiplied at once.
constexpr std::size_t block_width = 16;

// Whether mat_vec reads A with the kernel mat_vec_block reproduces: A
// column-major, every row part of two rows or more (a one-row part is a
// dot product of the matrix library's own order).
bool block_mat_vec_applies(const MatView& a) {
    if (a.row_stride != 1 || a.col_stride < static_cast<std::ptrdiff_t>(a.rows) || a.cols == 0)
        return false;
    const std::size_t parts = mat_vec_parts(a.rows, a.cols);
    for (std::size_t i = 0; i < parts; ++i)
        if (part_span(a.rows, i, parts).size() == 1) return false;
    return a.rows >= 2;
}

}  // namespace

Eigen::MatrixXd mat_vec_columns(MatView a, MatView x, std::size_t max_lanes) {
    internal_check(a.cols == x.rows,
                   "mat_vec_columns: the columns of A differ from the rows of X");
    const std::size_t m = a.rows, p = a.cols, b = x.cols;
    Eigen::MatrixXd out(to_index(m), to_index(b));
    if (!block_mat_vec_applies(a)) {
        for (std::size_t c = 0; c < b; ++c) {
            const VecView col{x.data + static_cast<std::ptrdiff_t>(c) * x.col_stride, p,
                              x.row_stride};
            out.col(to_index(c)) = mat_vec(a, col, par_sequential);
        }
        return out;
    }
    const std::size_t lanes = detail::block_vector_lanes(max_lanes);
    const std::size_t ld = detail::block_ld(std::min(b, block_width));
    std::vector<double> xb(p * ld), ob(m * ld);
    for (std::size_t lo = 0; lo < b; lo += block_width) {
        const std::size_t width = std::min(block_width, b - lo);
        std::fill(xb.begin(), xb.end(), 0.0);
        for (std::size_t j = 0; j < p; ++j)
            for (std::size_t lane = 0; lane < width; ++lane) xb[j * ld + lane] = x(j, lo + lane);
        detail::mat_vec_block(a, xb.data(), ld, ob.data(), lanes);
        for (std::size_t lane = 0; lane < width; ++lane)
            for (std::size_t i = 0; i < m; ++i)
                out(to_index(i), to_index(lo + lane)) = ob[i * ld + lane];
    }
    return out;
}

std::uint64_t mat_vec_columns_bytes(std::uint64_t m, std::uint64_t p, std::uint64_t b) {
    const std::uint64_t ld = detail::block_ld(std::min<std::uint64_t>(b, block_width));
    // The product, a block of vectors and its product.
    const std::uint64_t doubles =
        sat_add(sat_mul(ceil8(m), sat_add(b, ld)), sat_mul(ceil8(p), ld));
    return sat_mul(sat_add(doubles, ceil8(m)), 8);
}

}  // namespace veltra
