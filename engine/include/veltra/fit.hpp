// PLS1 and sparse PLS1 fits: input checks, standardisation (or none for
// pre-standardised data), observation weights as row multipliers, the choice
// of component backend, and the map of the components back to the raw scale.
//
// X is read in place in any layout. A row-major X is never copied by the
// standardising path unless its column means are large against the scales
// (then the standardised X is built, column-major); the pre-standardised path
// copies X only to apply weights. The model is the same bits on any thread
// count and, on the standardising path, for row-major and column-major X.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/parallel.hpp"
#include "veltra/view.hpp"

namespace veltra {

struct FitOpts {
    // Sparse PLS1: X columns kept per component; absent for plain PLS1.
    std::optional<std::size_t> keep;
    // X and y are used as given: no centring, no scaling. The contract is that
    // they are already standardised (so that ||X||_F is well above 1e-6).
    bool pre_standardized = false;
    // The caller wants k components: n_eff must reach k + 1, and a
    // pre-standardised fit that stops early is an error.
    bool strict = false;
    // The caller's ceiling on parallelism: par_sequential keeps every product
    // of the fit on the calling thread (callers that already run fits in
    // parallel); with par_parallel a small fit may still run sequentially.
    Par par = par_parallel;
};

struct Pls1Model {
    Eigen::MatrixXd T;     // n x k_used scores (of the row-scaled data when weighted)
    Eigen::MatrixXd P;     // p x k_used X loadings
    Eigen::MatrixXd W;     // p x k_used X weights, unit length
    Eigen::VectorXd Q;     // k_used y loadings
    Eigen::VectorXd coef;  // p coefficients on the standardised scale
    Eigen::VectorXd beta;  // p coefficients on the raw scale of X and y
    double intercept = 0.0;
    std::size_t k_used = 0;
    bool pre_standardized = false;
    std::optional<Eigen::VectorXd> weights;  // normalised to mean one; absent when uniform
    double n_eff = 0.0;
    std::optional<std::size_t> keep;
};

// Public entries: read the run settings, then fit in the capped pool or on
// the calling thread. spls1_fit sets opts.keep to keep.
Result<Pls1Model> pls1_fit(MatView x, VecView y, std::size_t k, std::optional<VecView> weights,
                           const FitOpts& opts);
Result<Pls1Model> spls1_fit(MatView x, VecView y, std::size_t k, std::size_t keep,
                            std::optional<VecView> weights, FitOpts opts);

// The fit without the settings wrapper, for callers that run many fits.
Result<Pls1Model> pls1_fit_impl(MatView x, VecView y, std::size_t k,
                                std::optional<VecView> weights, const FitOpts& opts);

// W_k (P_k' W_k)^-1 Q_k of the first k components (zeros for k = 0), by LU
// solve. k above the columns held is a broken invariant. The products' parts
// are fixed, so par changes the speed only.
Eigen::VectorXd pls1_coef_at_k(MatView w, MatView p, VecView q, std::size_t k,
                               Par par = par_sequential);

// Bytes one fit of n rows and p columns may hold, saturating at 2^64 - 1.
std::uint64_t pls1_fit_bytes(std::uint64_t n, std::uint64_t p);

// Peak bytes one run of the component loop with k components on a rows x p
// X allocates beyond X and the response, by either X backend (saturating):
// the model (weights, rotations and loadings of p x k, scores of rows x k,
// and the copies that trim them to k_used), the loop's p-vectors and score,
// and the products' scratch.
std::uint64_t prepared_fit_bytes(std::uint64_t rows, std::uint64_t p, std::uint64_t k);

// y finite, 1 <= k <= p, and keep (when given) valid, in that order.
Result<void> check_fit_y_and_k(std::size_t p, VecView y, std::size_t k,
                               std::optional<std::size_t> keep);

// 1 <= keep <= p.
Result<void> validate_keep(std::size_t keep, std::size_t p);

}  // namespace veltra
