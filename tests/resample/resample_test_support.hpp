// Shared by the resampling tests: random designs, a scoped memory budget and
// a run on one thread.
#pragma once

#include <cstdlib>
#include <random>

#include <Eigen/Core>
#include <tbb/global_control.h>

namespace resample_test {

// Uniform(-1, 1) entries from a fixed seed.
inline Eigen::MatrixXd random_matrix(Eigen::Index n, Eigen::Index p, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Eigen::MatrixXd x(n, p);
    for (Eigen::Index j = 0; j < p; ++j)
        for (Eigen::Index i = 0; i < n; ++i) x(i, j) = u(gen);
    return x;
}

// y = X b + noise with the signal on the first columns.
inline Eigen::VectorXd signal_response(const Eigen::MatrixXd& x, unsigned seed, double noise = 1.0) {
    const Eigen::MatrixXd e = random_matrix(x.rows(), 1, seed);
    Eigen::VectorXd y = noise * e.col(0);
    for (Eigen::Index j = 0; j < std::min<Eigen::Index>(3, x.cols()); ++j) y += x.col(j);
    return y;
}

// VELTRA_MEMORY_BUDGET set for one scope (unset with null); unset after.
struct ScopedBudget {
    explicit ScopedBudget(const char* value) {
        if (value) setenv("VELTRA_MEMORY_BUDGET", value, 1); else unsetenv("VELTRA_MEMORY_BUDGET");
    }
    ~ScopedBudget() { unsetenv("VELTRA_MEMORY_BUDGET"); }
};

// f() run with the worker pool limited to one thread.
template <class F>
auto on_one_thread(F&& f) {
    tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    return f();
}

}  // namespace resample_test
