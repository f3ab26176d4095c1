#include "veltra/error.hpp"

#include <array>
#include <iostream>
#include <sstream>
#include <thread>

#include "veltra/text.hpp"

namespace veltra {

namespace {

constexpr std::array<std::string_view, VeltraError::kind_count> codes = {
    "dimension_mismatch",
    "k_exceeds_max",
    "non_finite_input",
    "convergence_failure",
    "invalid_argument",
    "internal",
    "rotation_method_not_implemented",
    "invalid_args",
    "invalid_input",
    "shape_mismatch",
    "already_rotated",
    "invalid_weights",
    "resampling_degenerate",
    "resample_failure_rate_exceeded",
    "perm_null_degenerate",
    "optimal_no_component",
    "sequence_no_rejection",
};

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

}  // namespace

std::string_view error_code_of_tag(std::size_t tag) {
    internal_check(tag < codes.size(), "error tag out of range");
    return codes[tag];
}

std::unexpected<VeltraError> overflow_from_finite_inputs() {
    return fail(VeltraError::InvalidInput{
        "non-finite result from finite inputs: values are too large for double precision; "
        "rescale the data or let the fit standardize it"});
}

std::string_view VeltraError::code() const { return codes[payload.index()]; }

std::string VeltraError::display() const {
    using std::string;
    const auto n = format_count;
    return std::visit(
        Overloaded{
            [&](const DimensionMismatch& e) {
                return "dimension mismatch: X has shape (" + n(e.x_rows) + ", " + n(e.x_cols) +
                       "), y has length " + n(e.y_len);
            },
            [&](const KExceedsMax& e) { return "k=" + n(e.k) + " exceeds maximum " + n(e.max); },
            [](const NonFiniteInput&) { return string("non-finite values in input"); },
            [&](const ConvergenceFailure& e) {
                return "NIPALS did not converge after " + n(e.iterations) +
                       " iterations (tol=" + format_real(e.tol) + ")";
            },
            [](const InvalidArgument& e) { return "invalid argument: " + e.message; },
            [](const Internal& e) { return "internal error: " + e.message; },
            [](const RotationMethodNotImplemented& e) {
                return "rotation method '" + e.method + "' is not implemented in this version";
            },
            [](const InvalidArgs& e) {
                return "invalid args for method '" + e.method + "': " + e.message;
            },
            [](const InvalidInput& e) { return "invalid input: " + e.message; },
            [](const ShapeMismatch& e) { return "shape mismatch: " + e.message; },
            [](const AlreadyRotated&) {
                return string("model already has a rotation_spec; re-rotation is not supported");
            },
            [](const InvalidWeights& e) { return "invalid weights: " + string(e.reason); },
            [&](const ResamplingDegenerate& e) {
                return "Resampling degenerate: " + n(e.skipped) + "/" + n(e.total) +
                       " draws (skip_rate=" + format_rate3(e.skip_rate) +
                       ") failed per-subsample validation, exceeding `max_skip_rate` (threshold=" +
                       format_rate3(e.threshold) +
                       "). The resampling loop cannot produce an unbiased CI under these "
                       "conditions \u2014 surviving draws over-represent rows with high positive "
                       "weight. Likely causes: requested `k` is too large for the effective "
                       "sample size, the weight vector is concentrated on too few rows, or "
                       "`m_rate` is too low. Remediation: lower `k`, soften the weight "
                       "distribution, raise `m_rate`, or raise `max_skip_rate` to accept the "
                       "truncation knowingly.";
            },
            [&](const ResampleFailureRateExceeded& e) {
                return "resample failure rate exceeded: observed_holdout_corr=" +
                       format_rate3(e.observed_holdout_corr) + " (= " +
                       n(e.n_failed_holdout_corr) + "/" + n(e.n_total) +
                       "), observed_worker=" + format_rate3(e.observed_worker) + " (= " +
                       n(e.n_failed_worker) + "/" + n(e.n_total) +
                       "), max_failure_rate=" + format_rate3(e.max_failure_rate);
            },
            [&](const PermNullDegenerate& e) {
                return "permutation null degenerate: " + n(e.n_failed) + "/" + n(e.n_perm) +
                       " null fits failed (NaN). The p-value would be dominated by the "
                       "conservative NaN-as-exceedance rule rather than the data. Likely "
                       "causes: `k` too large for `n`, or a pathological weight vector. Lower "
                       "`k` or check the inputs.";
            },
            [](const OptimalNoComponent&) {
                return string(
                    "no component to fit: pls1_find_k_optimal returned k_star = 0 because the "
                    "full-data fit cannot extract a first component (y is constant, or "
                    "orthogonal to X up to rounding). Pass an explicit integer k to get the "
                    "k_used = 0 zero model anyway.");
            },
            [](const SequenceNoRejection& e) {
                return "no component to fit: pls1_find_k_sequence rejected no component at "
                       "alpha " +
                       format_real(e.alpha) +
                       " (all p-values >= alpha). Call pls1_find_k_sequence directly and pass "
                       "an explicit integer k to fit anyway.";
            },
        },
        payload);
}

void internal_failure(std::string_view message, std::source_location where) {
    std::ostringstream report;
    report << "veltra: internal consistency failure on thread " << std::this_thread::get_id()
           << " at " << where.file_name() << ':' << where.line() << " ("
           << where.function_name() << "): " << message << '\n';
    std::cerr << report.str() << std::flush;
    throw InternalFailure(std::string(message));
}

}  // namespace veltra
