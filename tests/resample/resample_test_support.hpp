// Shared by the resampling tests: random designs, a scoped memory budget and
// a run on one thread.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include <Eigen/Core>
#include <tbb/global_control.h>

#include "veltra/view.hpp"

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

// A design and response for the route-agreement tests, with optional weights.
struct Design {
    const char* name;
    Eigen::MatrixXd x;
    Eigen::VectorXd y;
    std::optional<Eigen::VectorXd> w;

    std::optional<veltra::VecView> weights() const {
        return w ? std::optional(veltra::VecView::of(*w)) : std::nullopt;
    }
};

// n rows: random (p columns), collinear (a copied and a summed column),
// rank 3 in 4 columns, and random with every fifth weight zero.
inline std::vector<Design> adversarial_designs(Eigen::Index n, Eigen::Index p, unsigned seed) {
    std::vector<Design> out;
    const Eigen::MatrixXd x = random_matrix(n, p, seed);
    out.push_back({"random", x, signal_response(x, seed + 1, 2.0), std::nullopt});
    Eigen::MatrixXd col = x;
    col.col(4) = col.col(0);
    col.col(5) = col.col(1) + col.col(2);
    out.push_back({"collinear", col, signal_response(col, seed + 2, 2.0), std::nullopt});
    Eigen::MatrixXd low = random_matrix(n, 4, seed + 3);
    low.col(3) = low.col(0) - low.col(1);
    out.push_back({"rank 3 of 4", low, signal_response(low, seed + 4, 1.0), std::nullopt});
    Eigen::VectorXd w = (random_matrix(n, 1, seed + 5).col(0).array() + 1.2).matrix();
    for (Eigen::Index i = 0; i < n; i += 5) w[i] = 0.0;
    out.push_back({"zero weights", x, signal_response(x, seed + 6, 2.0), w});
    return out;
}

// Kolmogorov-Smirnov distance of p-values on the lattice 1/(B+1) .. 1 from
// the uniform law on that lattice; a null sample of `count` values exceeds
// ks_bound_1e6(count) with probability below 1e-6.
inline double lattice_ks(std::vector<double> ps, std::size_t B) {
    std::sort(ps.begin(), ps.end());
    const double n = static_cast<double>(ps.size()), step = 1.0 / static_cast<double>(B + 1);
    double ks = 0.0;
    for (std::size_t i = 0; i < ps.size(); ++i)
        ks = std::max({ks, ps[i] - step - i / n, (i + 1) / n - ps[i]});
    return ks;
}
inline double ks_bound_1e6(std::size_t count) {
    return std::sqrt(std::log(2.0 / 1e-6) / (2.0 * static_cast<double>(count)));
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
