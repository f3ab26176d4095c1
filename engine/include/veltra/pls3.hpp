// Two-block models: a predictor block X (n x p) related to a response block
// Y (n x q) through pairs of unit weight vectors taken from the cross
// covariance C = X'Y of the standardised blocks. The dense fit takes every
// component from one thin SVD of C (it also serves PLS-SVD); the sparse fit
// builds each component from the deflated C by alternating updates that keep
// only the largest entries. The transform scores new data with a model.
//
// X and Y are borrowed views read in place in any layout; every matrix made
// here is column-major. The fits give the same bits on one thread and on
// many; see the notes at each entry for storage order.
//
// One header for the module, five sources along its sections:
//   pls3_prepare.cpp    the preparation shared by both fits (Prepared, prepare)
//   pls3_fit.cpp        the dense fit: pls3_fit, dense_components,
//                       pls3_lv1_from_cross_cov
//   pls3_first_pair.cpp the first component alone, without a full SVD, for
//                       the confirmatory test's first latent variable
//   pls3_sparse.cpp     the sparse fit: spls3_fit, its components,
//                       pls3_lv1_prestd
//   pls3_transform.cpp  the transform of new data
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/parallel.hpp"
#include "veltra/view.hpp"

namespace veltra {

struct Pls3FitOpts {
    std::uint64_t max_iter = 100;  // sparse alternation only
    double tol = 1e-8;             // sparse alternation only
    bool pre_standardized_X = false;
    bool pre_standardized_Y = false;
    // The caller's ceiling on parallelism: par_sequential keeps every
    // product, decomposition and the column-moment pass of the fit on the
    // calling thread (callers that already run fits in parallel); with
    // par_parallel a small fit may still run sequentially.
    Par par = par_parallel;
};

struct Pls3Model {
    Eigen::MatrixXd U;                // p x k_used, unit columns
    Eigen::MatrixXd V;                // q x k_used, unit columns
    Eigen::VectorXd singular_values;  // k_used
    Eigen::MatrixXd x_scores;         // n x k_used, standardised X times U
    Eigen::MatrixXd y_scores;         // n x k_used, standardised Y times V
    Eigen::VectorXd X_mean;
    Eigen::VectorXd X_scale;
    Eigen::VectorXd Y_mean;
    Eigen::VectorXd Y_scale;
    std::uint64_t k_used = 0;
    bool pre_standardized_X = false;
    bool pre_standardized_Y = false;
    // Present for the sparse fit only.
    std::optional<std::uint64_t> keep_X;
    std::optional<std::uint64_t> keep_Y;
    std::optional<std::vector<bool>> converged;
    std::optional<std::vector<std::uint64_t>> n_iter;
};

// Dense two-block fit of k components (PLS-SVD is the same fit). Runs under
// the entry wrapper (thread cap, memory-budget check). Weights are refused.
Result<Pls3Model> pls3_fit(MatView X, MatView Y, std::uint64_t k,
                           std::optional<VecView> weights, const Pls3FitOpts& opts);

// Sparse two-block fit keeping keep_X entries of each X weight vector and
// keep_Y of each Y weight vector; keep_X = p with keep_Y = q is the dense
// fit. Runs under the entry wrapper.
Result<Pls3Model> spls3_fit(MatView X, MatView Y, std::uint64_t k, std::uint64_t keep_X,
                            std::uint64_t keep_Y, std::optional<VecView> weights,
                            const Pls3FitOpts& opts);

// The bodies of the two entries, without the wrapper.
Result<Pls3Model> pls3_fit_impl(MatView X, MatView Y, std::uint64_t k,
                                std::optional<VecView> weights, const Pls3FitOpts& opts);
Result<Pls3Model> spls3_fit_impl(MatView X, MatView Y, std::uint64_t k, std::uint64_t keep_X,
                                 std::uint64_t keep_Y, std::optional<VecView> weights,
                                 const Pls3FitOpts& opts);

// ---- Preparation shared by both fits ----

struct SparseMeta {
    std::vector<bool> converged;
    std::vector<std::uint64_t> n_iter;
    std::uint64_t keep_X = 0;
    std::uint64_t keep_Y = 0;
};

// The standardised inputs of one two-block fit. Borrows the caller's X and Y for its
// whole life. In implicit mode the standardised X is never formed: products
// run on the raw X and are corrected with the column means and scales.
struct Prepared {
    MatView X;
    MatView Y;
    bool implicit = false;
    double mean_ratio = 0.0;  // largest |X_mean_j| / X_scale_j
    std::optional<double> x_fro;  // absent for a pre-standardised X
    // Frobenius norm of a pre-standardised X, found by its finiteness check.
    std::optional<double> x_std_norm;
    Eigen::VectorXd X_mean, X_scale, Y_mean, Y_scale;
    // Absent X_std in explicit mode: the caller's X is already standardised
    // and is read in its place in either storage order (a view with no unit
    // stride is copied). Absent Y_std: the caller's Y is already
    // standardised and column-major.
    std::optional<Eigen::MatrixXd> X_std;
    std::optional<Eigen::MatrixXd> Y_std;
    Par par = par_sequential;

    // The standardised X (explicit mode only) and Y.
    MatView x_std_view() const;
    MatView y_std_view() const;

    // C = (standardised X)'(standardised Y), p x q.
    Eigen::MatrixXd cross_cov() const;
    // C from X'(standardised Y) on the raw X (implicit mode only).
    Eigen::MatrixXd corrected_cross_cov(Eigen::MatrixXd raw) const;
    // Scores of the standardised X on W (p x m): n x m.
    Eigen::MatrixXd x_scores(const Eigen::MatrixXd& W) const;
    // Forms the standardised X, switches to explicit mode and returns C
    // computed again.
    Eigen::MatrixXd materialize();
    // The model of the given components; releases the standardised blocks.
    Pls3Model into_model(bool pre_standardized_X, bool pre_standardized_Y, Eigen::MatrixXd U,
                         Eigen::MatrixXd V, Eigen::VectorXd singular_values,
                         std::optional<SparseMeta> sparse = std::nullopt) &&;
};

struct PreparedCrossCov {
    Prepared prepared;
    Eigen::MatrixXd C;  // p x q
};

// Argument checks, standardisation and the cross covariance. Fails on
// mismatched rows, any weights, non-finite blocks, k outside [1, min(p, q)],
// n = 0, and a cross covariance that overflows from finite blocks.
Result<PreparedCrossCov> prepare(MatView X, MatView Y, std::uint64_t k,
                                 std::optional<VecView> weights, const Pls3FitOpts& opts);

// ---- Components ----

struct Components {
    Eigen::MatrixXd U;  // p x m
    Eigen::MatrixXd V;  // q x m
    Eigen::VectorXd singular_values;
};

// The rounding-error floor of a caller; evaluated at most once, and only
// when the first component is worth testing against it.
using ThresholdProvider = std::function<double()>;

// Up to k leading singular triples of C whose values clear 1e-14 and the
// floor, sign-pinned. C has at least one row and one column.
Result<Components> dense_components(const Eigen::MatrixXd& C, std::uint64_t k, Par par,
                                    const ThresholdProvider& threshold);

// Makes the largest-magnitude entry of each U column (the first of equal
// maxima) positive, flipping the matching V column with it.
void pin_component_signs(Eigen::MatrixXd& U, Eigen::MatrixXd& V);

struct Lv1FromCrossCov {
    Eigen::VectorXd v;  // the first Y weight vector (q)
    double s;           // its singular value
};

// The first dense component of C alone, computed sequentially; none when it
// does not clear the floors. Equal to dense_components with k = 1 up to
// rounding: the pair comes without a full SVD whenever it can be vouched for.
Result<std::optional<Lv1FromCrossCov>> pls3_lv1_from_cross_cov(const Eigen::MatrixXd& C,
                                                               double tol);

struct SparseComponent {
    Eigen::VectorXd u;  // p, at most keep_x non-zero, unit norm
    Eigen::VectorXd v;  // q, at most keep_y non-zero, unit norm
    double d = 0.0;     // u'(C v) on the C it was built from
    std::uint64_t iterations = 0;
    bool converged = false;
};

// Argument checks of the sparse fit; an absent count selects every column.
Result<void> validate_sparse(std::optional<std::uint64_t> keep_x,
                             std::optional<std::uint64_t> keep_y, std::uint64_t n_features,
                             std::uint64_t n_targets, std::uint64_t max_iter, double tol);

// One component by alternation from the first right singular vector of C;
// none when a selected vector's norm falls below 1e-14.
Result<std::optional<SparseComponent>> spls3_component(const Eigen::MatrixXd& C,
                                                       std::uint64_t keep_x, std::uint64_t keep_y,
                                                       std::uint64_t max_iter, Par par, double tol);

struct SparseLoopOutput {
    std::vector<SparseComponent> components;
    Eigen::MatrixXd C;  // deflated by every kept component
};

// Up to k components, each removed from C by a rank-one deflation.
Result<SparseLoopOutput> sparse_component_loop(Eigen::MatrixXd C, std::uint64_t k,
                                               std::uint64_t keep_x, std::uint64_t keep_y,
                                               std::uint64_t max_iter, double tol, Par par,
                                               const ThresholdProvider& threshold);

struct SparseComponents {
    Components components;  // sign-pinned
    std::vector<bool> converged;
    std::vector<std::uint64_t> n_iter;
};

Result<SparseComponents> sparse_components(Eigen::MatrixXd C, std::uint64_t k,
                                           std::uint64_t keep_x, std::uint64_t keep_y,
                                           std::uint64_t max_iter, double tol, Par par,
                                           const ThresholdProvider& threshold);

struct Lv1Prestd {
    Components components;  // at most one column
    // Sparse route only.
    std::optional<bool> converged;
    std::optional<std::uint64_t> n_iter;
};

// The first component of already standardised X and Y, dense or sparse by
// the keep counts (absent: every column), computed sequentially; the dense
// route finds it as pls3_lv1_from_cross_cov does.
Result<Lv1Prestd> pls3_lv1_prestd(MatView X, MatView Y, double x_norm,
                                  std::optional<std::uint64_t> keep_x,
                                  std::optional<std::uint64_t> keep_y, std::uint64_t max_iter,
                                  double tol);

// ---- Transform ----

enum class Pls3Which : std::uint8_t { x_scores = 0, y_scores = 1, both = 2 };

// "x_scores", "y_scores", "both".
std::string_view pls3_which_name(Pls3Which which);

struct Pls3Scores {
    std::optional<Eigen::MatrixXd> x_scores;  // rows of X_new x k_used
    std::optional<Eigen::MatrixXd> y_scores;  // rows of Y_new x k_used
};

// Standardises the new rows with the model's means and scales and
// multiplies by U (and V). Runs on the calling thread; reads no setting.
Result<Pls3Scores> pls3_transform(const Pls3Model& model, std::optional<MatView> X_new,
                                  std::optional<MatView> Y_new, Pls3Which which);

}  // namespace veltra
