// Helpers shared by the engine tests: views of Eigen test data, the same
// matrix stored in several layouts, random data, bit equality, relative
// difference, one-thread runs, the thread setting, and the bit-for-bit
// comparison of each fitted model.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include "veltra/component_loop.hpp"
#include "veltra/error.hpp"
#include "veltra/fit.hpp"
#include "veltra/pls3.hpp"
#include "veltra/view.hpp"

namespace test_support {

using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

inline veltra::MatView view(const Eigen::MatrixXd& m) { return veltra::MatView::of(m); }
inline veltra::MatView view(const RowMajor& m) {
    return veltra::MatView::row_major(m.data(), static_cast<std::size_t>(m.rows()),
                                      static_cast<std::size_t>(m.cols()));
}
inline veltra::VecView view(const Eigen::VectorXd& v) { return veltra::VecView::of(v); }
inline veltra::VecView view(const std::vector<double>& v) { return {v.data(), v.size(), 1}; }

// Normal entries, column j shifted by shift * j.
inline Eigen::MatrixXd random_matrix(Eigen::Index rows, Eigen::Index cols, unsigned seed,
                                     double shift = 0.0) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    Eigen::MatrixXd m(rows, cols);
    for (Eigen::Index j = 0; j < cols; ++j)
        for (Eigen::Index i = 0; i < rows; ++i) m(i, j) = shift * double(j) + normal(gen);
    return m;
}

// The same logical matrix stored in several layouts, each read through a view.
enum class Layout { col_major, row_major, padded_cols, reversed_cols, reversed_rows, odd_strides };
inline constexpr Layout all_layouts[] = {Layout::col_major,     Layout::row_major,
                                         Layout::padded_cols,   Layout::reversed_cols,
                                         Layout::reversed_rows, Layout::odd_strides};

struct Stored {
    std::vector<double> buf;
    veltra::MatView view;
};

inline Stored store(const Eigen::MatrixXd& m, Layout layout) {
    const auto r = static_cast<std::ptrdiff_t>(m.rows()), c = static_cast<std::ptrdiff_t>(m.cols());
    std::ptrdiff_t rs = 1, cs = r, base = 0, size = r * c;
    switch (layout) {
        case Layout::col_major: break;
        case Layout::row_major: rs = c; cs = 1; break;
        case Layout::padded_cols: cs = r + 3; size = (r + 3) * c; break;
        case Layout::reversed_cols: cs = -r; base = r * (c - 1); break;
        case Layout::reversed_rows: rs = -c; cs = 1; base = c * (r - 1); break;
        case Layout::odd_strides:  // neither stride is 1, the column one negative
            rs = 2; cs = -(2 * r + 1); size = (2 * r + 1) * c; base = (2 * r + 1) * (c - 1); break;
    }
    Stored s;
    s.buf.assign(static_cast<std::size_t>(std::max<std::ptrdiff_t>(size, 1)),
                 std::numeric_limits<double>::quiet_NaN());
    base = std::max<std::ptrdiff_t>(base, 0);
    for (std::ptrdiff_t i = 0; i < r; ++i)
        for (std::ptrdiff_t j = 0; j < c; ++j) s.buf[base + i * rs + j * cs] = m(i, j);
    s.view = veltra::MatView{s.buf.data() + base, static_cast<std::size_t>(r),
                             static_cast<std::size_t>(c), rs, cs};
    return s;
}

// Same shape and the same bits in every entry.
template <class A, class B>
bool same_bits(const A& a, const B& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) ==
               0;
}
inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

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

// The message of the internal failure that call() raises, its report to
// standard error swallowed.
template <class F>
std::string failure_of(F&& call) {
    testing::internal::CaptureStderr();
    std::string what = "no failure";
    try {
        call();
    } catch (const veltra::InternalFailure& e) {
        what = e.what();
    }
    testing::internal::GetCapturedStderr();
    return what;
}

// The message an error carries, without the kind's prefix where it has one.
inline std::string message_of(const veltra::VeltraError& e) {
    using E = veltra::VeltraError;
    if (e.is<E::InvalidArgument>()) return e.as<E::InvalidArgument>().message;
    if (e.is<E::InvalidInput>()) return e.as<E::InvalidInput>().message;
    if (e.is<E::ShapeMismatch>()) return e.as<E::ShapeMismatch>().message;
    if (e.is<E::Internal>()) return e.as<E::Internal>().message;
    return e.display();
}

template <class T>
std::string message_of(const veltra::Result<T>& r) {
    return r ? "ok" : message_of(r.error());
}

// max |M'M - I|.
inline double orthonormality_error(const Eigen::MatrixXd& m) {
    return (m.transpose() * m - Eigen::MatrixXd::Identity(m.cols(), m.cols())).cwiseAbs().maxCoeff();
}

template <class F>
auto in_one_thread(F&& f) {
    tbb::task_arena one(1);
    return one.execute(f);
}

// Sets an environment variable (or unsets it) for one scope and restores it after.
class EnvGuard {
  public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~EnvGuard() {
        if (saved_) ::setenv(name_, saved_->c_str(), 1);
        else ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> saved_;
};

struct ThreadsGuard : EnvGuard {
    explicit ThreadsGuard(const char* threads) : EnvGuard("VELTRA_NUM_THREADS", threads) {}
};

// The options of a fit that must give the k components asked for.
inline veltra::FitOpts strict_opts() {
    veltra::FitOpts o;
    o.strict = true;
    return o;
}

// Two fits gave the same model, bit for bit.
inline void expect_same_model(const veltra::Pls1Model& a, const veltra::Pls1Model& b) {
    EXPECT_TRUE(same_bits(a.T, b.T) && same_bits(a.P, b.P) && same_bits(a.W, b.W) &&
                same_bits(a.Q, b.Q) && same_bits(a.coef, b.coef) && same_bits(a.beta, b.beta) &&
                same_bits(a.intercept, b.intercept));
    EXPECT_EQ(a.k_used, b.k_used);
}

inline void expect_same_fit(const veltra::PreparedFit& a, const veltra::PreparedFit& b) {
    EXPECT_TRUE(same_bits(a.W, b.W) && same_bits(a.R, b.R) && same_bits(a.P, b.P) &&
                same_bits(a.Q, b.Q) && same_bits(a.T, b.T) && same_bits(a.coef, b.coef));
    EXPECT_EQ(a.k_used, b.k_used);
}

inline void expect_same_model(const veltra::Pls3Model& a, const veltra::Pls3Model& b) {
    EXPECT_TRUE(same_bits(a.U, b.U) && same_bits(a.V, b.V) &&
                same_bits(a.singular_values, b.singular_values) &&
                same_bits(a.x_scores, b.x_scores) && same_bits(a.y_scores, b.y_scores) &&
                same_bits(a.X_mean, b.X_mean) && same_bits(a.X_scale, b.X_scale) &&
                same_bits(a.Y_mean, b.Y_mean) && same_bits(a.Y_scale, b.Y_scale));
    EXPECT_EQ(a.k_used, b.k_used);
    EXPECT_EQ(a.keep_X, b.keep_X);
    EXPECT_EQ(a.converged, b.converged);
    EXPECT_EQ(a.n_iter, b.n_iter);
}

}  // namespace test_support
