// Borrowed views of the caller's matrices and vectors. A view never owns its
// data and lives no longer than the call that received it; kernels read it in
// place through its strides (which may be negative or zero).
#pragma once

#include <cstddef>
#include <cstdint>

#include <Eigen/Core>

#include "veltra/numeric.hpp"

namespace veltra {

using StridedMap =
    Eigen::Map<const Eigen::MatrixXd, Eigen::Unaligned, Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>>;
using StridedVecMap =
    Eigen::Map<const Eigen::VectorXd, Eigen::Unaligned, Eigen::InnerStride<Eigen::Dynamic>>;

struct MatView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 1;  // elements between X(i, j) and X(i + 1, j)
    std::ptrdiff_t col_stride = 0;  // elements between X(i, j) and X(i, j + 1)

    double operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_stride +
                    static_cast<std::ptrdiff_t>(j) * col_stride];
    }
    // Column-major: entries of a column are adjacent.
    bool is_col_major() const { return row_stride == 1; }
    // Row-major: entries of a row are adjacent, and it is not also column-major.
    bool is_row_major() const { return col_stride == 1 && row_stride != 1; }

    MatView transposed() const { return {data, cols, rows, col_stride, row_stride}; }
    // Columns [lo, lo + w), and column j, in place.
    MatView columns(std::size_t lo, std::size_t w) const {
        return {data + static_cast<std::ptrdiff_t>(lo) * col_stride, rows, w, row_stride,
                col_stride};
    }
    struct VecView column(std::size_t j) const;

    // Read-only Eigen expression over the view, no copy.
    StridedMap eigen() const {
        return StridedMap(data, to_index(rows), to_index(cols),
                          Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>(col_stride, row_stride));
    }

    static MatView col_major(const double* data, std::size_t rows, std::size_t cols) {
        return {data, rows, cols, 1, static_cast<std::ptrdiff_t>(rows)};
    }
    static MatView row_major(const double* data, std::size_t rows, std::size_t cols) {
        return {data, rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
    }
    static MatView of(const Eigen::MatrixXd& m) {
        return col_major(m.data(), static_cast<std::size_t>(m.rows()),
                         static_cast<std::size_t>(m.cols()));
    }
};

struct VecView {
    const double* data = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = 1;

    double operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
    std::size_t size() const { return len; }

    StridedVecMap eigen() const {
        return StridedVecMap(data, to_index(len),
                             Eigen::InnerStride<Eigen::Dynamic>(stride));
    }
    static VecView of(const Eigen::VectorXd& v) {
        return {v.data(), static_cast<std::size_t>(v.size()), 1};
    }
};

inline VecView MatView::column(std::size_t j) const {
    return {data + static_cast<std::ptrdiff_t>(j) * col_stride, rows, row_stride};
}

}  // namespace veltra
