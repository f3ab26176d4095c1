// How much a varimax rotation stabilises the PLS1 weights across subsamples
// of the rows. The reference model is fitted on all rows and its weights
// rotated; every replicate refits on m rows drawn without replacement and
// measures its squared distance from the reference twice: unrotated (after
// the best signed column permutation) and rotated (after an orthogonal
// Procrustes turn towards the reference, the same varimax, and again the
// best signed permutation). The result is the ratio of the rotated to the
// unrotated spread, overall and per axis, with bootstrap intervals over the
// replicates. Replicates run on the resampling engine, each on its own
// generator, so the output is the same bits for every thread count and
// memory budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/resample/subsample.hpp"
#include "veltra/rng.hpp"
#include "veltra/rotate.hpp"
#include "veltra/standardize.hpp"
#include "veltra/view.hpp"

namespace veltra::select {

struct RotationStabilityOpts {
    std::optional<std::uint64_t> seed;
    // n_boot, m_rate and level are range-checked as for the confirmatory
    // intervals; max_skip_rate is used as given, not range-checked, and
    // max_failure_rate is not read (a replicate that fails counts as skipped).
    resample::SubsampleOpts subsample;
    bool pre_standardized = false;
    bool verbose = false;  // prints nothing
};

// Per-axis squared deviations of one replicate from the reference, before
// and after rotation; k values each.
struct RotationStabilityWorkerRow {
    Eigen::VectorXd unrot;
    Eigen::VectorXd rot;
};

struct RotationStabilityOutput {
    std::string method = "varimax";
    std::uint64_t n_boot = 0;
    std::uint64_t m = 0;
    double m_rate = 0.0;
    double level = 0.0;
    std::uint64_t seed = 0;
    resample::CIScalar variance_ratio;
    std::vector<resample::CIScalar> variance_ratio_per_axis;
    double variance_unrot = 0.0;  // sum of the per-axis values
    double variance_rot = 0.0;
    Eigen::VectorXd variance_unrot_per_axis;  // mean over the finite replicates
    Eigen::VectorXd variance_rot_per_axis;
    bool degenerate_baseline = false;
    std::uint64_t n_boot_finite = 0;
    double n_eff = 0.0;
};

// Public entry: reads the run settings, then runs in the capped pool or on
// the calling thread. X is read in place in any layout.
Result<RotationStabilityOutput> pls1_rotation_stability(MatView x, VecView y, std::size_t k,
                                                        const VarimaxOpts& varimax,
                                                        std::optional<MatView> L,
                                                        std::optional<VecView> weights,
                                                        const RotationStabilityOpts& opts);

// What every replicate shares: the data, the validated weights (none when
// uniform), the subsample size and the reference weights, unrotated and
// rotated.
struct RotationReplicateData {
    MatView x;
    VecView y;
    std::optional<VecView> weights;
    std::size_t m = 0;
    std::size_t k = 0;
    bool pre_standardized = false;
    MatView w_ref;
    MatView w_ref_rot;
    VarimaxOpts varimax;
    std::optional<MatView> L;
};

// One replicate on its unit's generator. Any failure (subsample weights,
// fit, rotation, alignment) is returned as the error.
Result<RotationStabilityWorkerRow> run_one_rotation_stability(const RotationReplicateData& data,
                                                              ChaCha8Rng& rng);

// The weights W (p x k) of a strict fit of k components on the listed rows,
// standardised over those rows unless pre_standardized.
Result<Eigen::MatrixXd> fit_subsample(MatView x, VecView y, RowList rows, std::size_t k,
                                      std::optional<VecView> weights, bool pre_standardized);

// The ratios and their intervals from the replicate rows, in replicate
// order; the bootstrap draws from a generator seeded with bootstrap_seed.
Result<RotationStabilityOutput> reduce_variance_ratio(
    std::span<const RotationStabilityWorkerRow> rows, std::size_t k, std::uint64_t n_boot,
    std::uint64_t m, std::uint64_t seed, std::uint64_t bootstrap_seed, double m_rate,
    double level, double n_eff, double max_skip_rate);

// point with the interpolated alpha / 2 and 1 - alpha / 2 quantiles of the
// samples (sorted in place) and their standard deviation.
resample::CIScalar build_ciscalar_from_bootstrap(double point, std::span<double> samples,
                                                 double alpha);

}  // namespace veltra::select
