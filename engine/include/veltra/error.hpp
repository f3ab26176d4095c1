// The engine's one error type, and the thrown internal failure for broken
// invariants. A caller's mistake is a VeltraError value; a broken invariant
// is an InternalFailure that only the two guards (registry, Python seam) catch.
#pragma once

#include <cstdint>
#include <expected>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace veltra {

struct VeltraError {
    struct DimensionMismatch {
        std::uint64_t y_len;
        std::uint64_t x_rows;
        std::uint64_t x_cols;
    };
    struct KExceedsMax {
        std::uint64_t k;
        std::uint64_t max;
    };
    struct NonFiniteInput {};
    struct ConvergenceFailure {
        std::uint64_t iterations;
        double tol;
    };
    struct InvalidArgument {
        std::string message;
    };
    struct Internal {
        std::string message;
    };
    struct RotationMethodNotImplemented {
        std::string method;
    };
    struct InvalidArgs {
        std::string method;
        std::string message;
    };
    struct InvalidInput {
        std::string message;
    };
    struct ShapeMismatch {
        std::string message;
    };
    struct AlreadyRotated {};
    struct InvalidWeights {
        // One of "length_mismatch", "negative", "all_zero",
        // "insufficient_effective_n"; always a static string.
        std::string_view reason;
    };
    struct ResamplingDegenerate {
        std::uint64_t skipped;
        std::uint64_t total;
        double skip_rate;
        double threshold;
    };
    struct ResampleFailureRateExceeded {
        double max_failure_rate;
        double observed_worker;
        double observed_holdout_corr;
        std::uint64_t n_failed_worker;
        std::uint64_t n_failed_holdout_corr;
        std::uint64_t n_total;
    };
    struct PermNullDegenerate {
        std::uint64_t n_failed;
        std::uint64_t n_perm;
    };
    struct OptimalNoComponent {};
    struct SequenceNoRejection {
        double alpha;
    };

    // The alternative's index is the kind's tag (0..16) and the position of
    // its code in the binding layer's table: keep this order.
    using Payload =
        std::variant<DimensionMismatch, KExceedsMax, NonFiniteInput, ConvergenceFailure,
                     InvalidArgument, Internal, RotationMethodNotImplemented, InvalidArgs,
                     InvalidInput, ShapeMismatch, AlreadyRotated, InvalidWeights,
                     ResamplingDegenerate, ResampleFailureRateExceeded, PermNullDegenerate,
                     OptimalNoComponent, SequenceNoRejection>;
    static constexpr std::size_t kind_count = std::variant_size_v<Payload>;

    Payload payload;

    template <class P>
        requires std::is_constructible_v<Payload, P&&>
    VeltraError(P&& p) : payload(std::forward<P>(p)) {}

    std::size_t tag() const { return payload.index(); }
    template <class P>
    bool is() const {
        return std::holds_alternative<P>(payload);
    }
    template <class P>
    const P& as() const {
        return std::get<P>(payload);
    }

    // The kind's code string ("dimension_mismatch", ...).
    std::string_view code() const;
    // The kind's display template filled from the payload.
    std::string display() const;
};

// Code strings by tag, in tag order.
std::string_view error_code_of_tag(std::size_t tag);

template <class T>
using Result = std::expected<T, VeltraError>;

// Error propagation for std::expected, the one way an error is passed on in
// the engine and the binding alike: `VELTRA_TRY(x, compute());` declares x
// and returns compute()'s error from the enclosing function when it failed;
// `VELTRA_CHECK(validate());` does the same for a result whose value is unused.
#define VELTRA_TRY(var, expr) \
    auto var = (expr);        \
    if (!var) return std::unexpected(std::move(var).error())
#define VELTRA_CHECK(expr)                                                   \
    do {                                                                     \
        if (auto veltra_check_ = (expr); !veltra_check_)                     \
            return std::unexpected(std::move(veltra_check_).error());         \
    } while (0)

// `return fail(VeltraError::InvalidArgument{"..."});`
template <class P>
std::unexpected<VeltraError> fail(P&& payload) {
    return std::unexpected<VeltraError>(VeltraError(std::forward<P>(payload)));
}

// A result that overflowed although every input was finite (values near the
// limit of double precision): an invalid_input error, never a model.
std::unexpected<VeltraError> overflow_from_finite_inputs();

// A decomposition that does not converge. The kernels (thin_svd,
// self_adjoint_eigen) do not decide what that means: they answer an empty
// optional. Their caller decides, once, by what its inputs guarantee:
// - where legal input can still defeat the decomposition (the two-block
//   fits' SVD of X'Y), it is a returned `internal` VeltraError carrying the
//   fit's own message;
// - where the caller has already refused every input that could defeat it
//   (the stable rank of a finite Gram matrix), it is a broken invariant:
//   internal_failure;
// - orthogonal_rotation answers the all-NaN matrix, so that a replicate
//   that needed it fails visibly instead of passing for "no rotation";
// - a statistic whose procedure fixes the value of a failed decomposition
//   as "no evidence" (eigenvalues_symmetric's zeros, which give p = 1)
//   uses that value.
// No other caller turns a non-convergence into NaN values or a default.

// A broken invariant: "cannot happen on valid input". Only the guards of the
// registry and of the Python seam catch it.
class InternalFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Writes the short report (thread, source location, message) to standard
// error, then throws InternalFailure carrying the message.
[[noreturn]] void internal_failure(std::string_view message,
                                   std::source_location where = std::source_location::current());

// Checks an invariant; on failure reports and throws as internal_failure.
inline void internal_check(bool ok, std::string_view message,
                           std::source_location where = std::source_location::current()) {
    if (!ok) internal_failure(message, where);
}

}  // namespace veltra
