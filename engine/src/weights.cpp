#include "veltra/weights.hpp"

#include <cfloat>
#include <cmath>
#include <string>

#include "veltra/text.hpp"

namespace veltra {
namespace {

constexpr double uniform_tolerance = 1e-12;

struct Normalized {
    Eigen::VectorXd weights;
    double n_eff;
    bool uniform;
};

// Finiteness before sign, stopping at the first failing weight.
Result<void> check_weight_values(VecView w) {
    for (std::size_t i = 0; i < w.size(); ++i) {
        const double v = w[i];
        if (!std::isfinite(v)) return fail(VeltraError::NonFiniteInput{});
        if (v < 0.0) return fail(VeltraError::InvalidWeights{"negative"});
    }
    return {};
}

struct Sums {
    double sum;
    double sum_sq;
};

Sums running_sums(VecView w, double divisor) {
    Sums s{0.0, 0.0};
    for (std::size_t i = 0; i < w.size(); ++i) {
        const double v = w[i] / divisor;
        s.sum += v;
        s.sum_sq += v * v;
    }
    return s;
}

// Whether sum w, sum w^2 and (sum w)^2 all kept full precision.
bool sums_in_range(const Sums& s) {
    const double sq = s.sum * s.sum;
    return std::isfinite(s.sum) && std::isfinite(s.sum_sq) && std::isfinite(sq) &&
           s.sum_sq >= DBL_MIN && sq >= DBL_MIN;
}

// Rescales validated weights of length n (n > 0) to mean one. Weights whose
// sums overflow or underflow are first divided by their largest value: the
// normalised weights and n_eff are scale-free, so this changes nothing but
// rounding, and every finite, non-negative weight vector with a positive sum
// gets finite results.
Result<Normalized> normalize(VecView w) {
    const std::size_t n = w.size();
    Sums s = running_sums(w, 1.0);
    if (n == 0 || s.sum == 0.0) return fail(VeltraError::InvalidWeights{"all_zero"});
    double divisor = 1.0;
    if (!sums_in_range(s)) {
        divisor = 0.0;
        for (std::size_t i = 0; i < n; ++i) divisor = w[i] > divisor ? w[i] : divisor;
        s = running_sums(w, divisor);
    }
    const double nd = static_cast<double>(n);
    Normalized out{Eigen::VectorXd(to_index(n)), 0.0, true};
    double max_dev = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = w[i] / divisor * nd / s.sum;
        out.weights[to_index(i)] = v;
        const double dev = std::fabs(v - 1.0);
        max_dev = dev > max_dev ? dev : max_dev;
    }
    out.uniform = max_dev < uniform_tolerance;
    out.n_eff = out.uniform ? nd : (s.sum * s.sum) / s.sum_sq;
    return out;
}

}  // namespace

Result<NormalizedWeights> validate_and_normalize_weights(std::optional<VecView> weights,
                                                         std::size_t n) {
    if (!weights) return NormalizedWeights{std::nullopt, static_cast<double>(n)};
    if (weights->size() != n) return fail(VeltraError::InvalidWeights{"length_mismatch"});
    VELTRA_CHECK(check_weight_values(*weights));
    VELTRA_TRY(norm, normalize(*weights));
    if (norm->uniform) return NormalizedWeights{std::nullopt, static_cast<double>(n)};
    return NormalizedWeights{std::move(norm->weights), norm->n_eff};
}

Result<NormalizedWeights> validate_weights_for_k(std::optional<VecView> weights, std::size_t n,
                                                 std::size_t k) {
    VELTRA_TRY(out, validate_and_normalize_weights(weights, n));
    if (out->n_eff < static_cast<double>(k) + 1.0) {
        if (weights) return fail(VeltraError::InvalidWeights{"insufficient_effective_n"});
        return fail(VeltraError::InvalidArgument{"insufficient n for k=" + format_count(k) +
                                                 ": need n >= k + 1 (got n=" +
                                                 format_real(out->n_eff) + ")"});
    }
    return out;
}

Result<std::optional<NormalizedWeights>> normalized_weights(std::optional<VecView> weights) {
    if (!weights) return std::optional<NormalizedWeights>{};
    VELTRA_CHECK(check_weight_values(*weights));
    VELTRA_TRY(norm, normalize(*weights));
    return std::optional<NormalizedWeights>{NormalizedWeights{std::move(norm->weights), norm->n_eff}};
}

Eigen::VectorXd fit_row_scale(VecView weights) {
    auto norm = normalize(weights);
    internal_check(norm.has_value(), "fit_row_scale: positive weight sum");
    return norm->weights.cwiseSqrt();
}

}  // namespace veltra
