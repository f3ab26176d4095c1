// The permutation null of the PLS1 coefficients: the reference fit, then
// n_perm refits with the response rows permuted, and per coefficient the
// mean and standard deviation of the null with the z value of the reference
// coefficient against it. A refit runs directly, in n-space through ZZ' or
// in p-space through X'X, as a cost rule picks; a refit that a Gram engine
// cannot vouch for is redone directly, so the route changes the cost and
// never the result beyond rounding. Row b depends only on the b-th child
// seed: a run with fewer permutations gives the first rows of a longer one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/rng.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

struct PermNullOpts {
    std::uint64_t n_perm = 1000;
    bool return_perm_matrix = false;
    bool pre_standardized = false;
    bool verbose = false;
};

struct PermNullOutput {
    std::uint64_t n_perm = 0;
    std::uint64_t k = 0;
    std::uint64_t seed = 0;
    Eigen::VectorXd beta_ref;
    Eigen::VectorXd beta_perm_mean;
    Eigen::VectorXd beta_perm_sd;
    Eigen::VectorXd beta_perm_z;
    // n_perm rows of p coefficients, row after row; only when asked for.
    std::optional<std::vector<double>> beta_perm_matrix;
    double n_eff = 0.0;
};

// Public entry: reads the run settings, then runs in the capped pool or on
// the calling thread.
Result<PermNullOutput> pls1_perm_null(MatView x, VecView y, std::size_t k,
                                      std::optional<VecView> weights, const PermNullOpts& opts,
                                      std::optional<std::uint64_t> seed);

enum class PermRoute : std::uint8_t { direct = 1, nspace = 2, pspace = 3 };

// The cheapest engine for n_perm refits of k components of an n x p X.
PermRoute perm_null_route(std::uint64_t n, std::uint64_t p, std::uint64_t n_perm, std::uint64_t k,
                          bool weighted);

// Everything after the reference fit, on the given route: x_eng is the
// standardised X with its rows times the multipliers (when weighted), y_std
// the standardised response without them. Seeds come from rng.
Result<PermNullOutput> run_engine(PermRoute route, MatView x_eng, VecView y_std,
                                  std::size_t k, std::optional<VecView> multipliers,
                                  const Eigen::VectorXd& beta_ref, std::uint64_t n_perm,
                                  bool return_perm_matrix, std::uint64_t seed,
                                  ChaCha8Rng& rng, double n_eff);

// Column mean, standard deviation and z of the reference over the finite
// entries of an n_perm x p row-major matrix; more than half of the rows
// holding a NaN (failed refits) is a degenerate null.
struct PermNullStats {
    Eigen::VectorXd mean;
    Eigen::VectorXd sd;
    Eigen::VectorXd z;
};
Result<PermNullStats> perm_null_stats(std::span<const double> rows, std::size_t p,
                                      const Eigen::VectorXd& beta_ref);

}  // namespace veltra::resample
