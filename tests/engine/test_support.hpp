// Small helpers shared by the engine tests: views of Eigen test data, bit
// equality and relative difference.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>

#include <Eigen/Core>

#include "veltra/view.hpp"

namespace test_support {

using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

inline veltra::MatView view(const Eigen::MatrixXd& m) { return veltra::MatView::of(m); }
inline veltra::MatView view(const RowMajor& m) {
    return veltra::MatView::row_major(m.data(), static_cast<std::size_t>(m.rows()),
                                      static_cast<std::size_t>(m.cols()));
}
inline veltra::VecView view(const Eigen::VectorXd& v) { return veltra::VecView::of(v); }

// Same shape and the same bits in every entry.
template <class A, class B>
bool same_bits(const A& a, const B& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) ==
               0;
}

// max |a - b| / max |b|, in long double.
template <class A, class B>
double rel_diff(const A& a, const B& b) {
    long double num = 0, den = 0;
    for (Eigen::Index i = 0; i < b.size(); ++i) {
        num = std::max(num, std::fabs(static_cast<long double>(a(i)) - static_cast<long double>(b(i))));
        den = std::max(den, std::fabs(static_cast<long double>(b(i))));
    }
    return static_cast<double>(num / den);
}

}  // namespace test_support
