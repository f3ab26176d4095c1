#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "veltra/bind/error.hpp"
#include "veltra/error.hpp"

using namespace veltra::bind;
using veltra::VeltraError;

namespace {

struct KindCase {
    VeltraError error;
    std::string code;
};

std::vector<std::string> detail_names(const BindError& e) {
    std::vector<std::string> out;
    for (const Field& f : e.details.fields()) out.push_back(f.name);
    return out;
}

}  // namespace

// Also the one check of the codes in tag order.
TEST(BindError, EveryCoreKindKeepsItsNameAsCodeAndItsTextAsMessage) {
    const std::vector<KindCase> cases = {
        {VeltraError::DimensionMismatch{4, 5, 3}, "dimension_mismatch"},
        {VeltraError::KExceedsMax{7, 3}, "k_exceeds_max"},
        {VeltraError::NonFiniteInput{}, "non_finite_input"},
        {VeltraError::ConvergenceFailure{500, 1e-6}, "convergence_failure"},
        {VeltraError::InvalidArgument{"k must be >= 1"}, "invalid_argument"},
        {VeltraError::Internal{"x"}, "internal"},
        {VeltraError::RotationMethodNotImplemented{"promax"}, "rotation_method_not_implemented"},
        {VeltraError::InvalidArgs{"varimax", "bad"}, "invalid_args"},
        {VeltraError::InvalidInput{"m"}, "invalid_input"},
        {VeltraError::ShapeMismatch{"m"}, "shape_mismatch"},
        {VeltraError::AlreadyRotated{}, "already_rotated"},
        {VeltraError::InvalidWeights{"negative"}, "invalid_weights"},
        {VeltraError::ResamplingDegenerate{3, 40, 0.075, 0.05}, "resampling_degenerate"},
        {VeltraError::ResampleFailureRateExceeded{0.1, 0.2, 0.3, 2, 3, 10},
         "resample_failure_rate_exceeded"},
        {VeltraError::PermNullDegenerate{60, 100}, "perm_null_degenerate"},
        {VeltraError::OptimalNoComponent{}, "optimal_no_component"},
        {VeltraError::SequenceNoRejection{0.05}, "sequence_no_rejection"},
    };
    ASSERT_EQ(cases.size(), VeltraError::kind_count);
    for (std::size_t tag = 0; tag < cases.size(); ++tag) {
        const KindCase& c = cases[tag];
        ASSERT_EQ(c.error.tag(), tag);
        const BindError e = BindError::from_core(c.error);
        EXPECT_EQ(e.code, c.code);
        EXPECT_EQ(e.message, c.error.display());
        EXPECT_FALSE(e.details.type_name().has_value());
        if (c.code != "invalid_weights" && c.code != "resampling_degenerate") {
            EXPECT_TRUE(e.details.empty()) << c.code;
        }
    }
}

TEST(BindError, InvalidWeightsCarriesTheReason) {
    const BindError e = BindError::from_core(VeltraError::InvalidWeights{"negative"});
    EXPECT_EQ(e.message, "invalid weights: negative");
    ASSERT_EQ(detail_names(e), (std::vector<std::string>{"reason"}));
    EXPECT_EQ(e.details.find("reason")->get_if<Str>()->view(), "negative");
}

TEST(BindError, ResamplingDegenerateCarriesCountsAndRates) {
    const VeltraError core = VeltraError::ResamplingDegenerate{3, 40, 0.075, 0.05};
    const BindError e = BindError::from_core(core);
    EXPECT_EQ(e.message.rfind("Resampling degenerate: 3/40 draws (skip_rate=0.075)", 0), 0u);
    EXPECT_NE(e.message.find("to accept the truncation knowingly."), std::string::npos);
    ASSERT_EQ(detail_names(e),
              (std::vector<std::string>{"skipped", "total", "skip_rate", "threshold"}));
    EXPECT_TRUE(*e.details.find("skipped")->get_if<std::int64_t>() == 3 &&
                *e.details.find("total")->get_if<std::int64_t>() == 40 &&
                *e.details.find("skip_rate")->get_if<double>() == 0.075 &&
                *e.details.find("threshold")->get_if<double>() == 0.05);

    // Counts above the signed range are clamped, not wrapped.
    const BindError big =
        BindError::from_core(VeltraError::ResamplingDegenerate{~std::uint64_t{0}, 1ull << 63, 1, 1});
    EXPECT_TRUE(*big.details.find("skipped")->get_if<std::int64_t>() == INT64_MAX &&
                *big.details.find("total")->get_if<std::int64_t>() == INT64_MAX);
}

TEST(BindError, OwnConstructorsHaveNoDetails) {
    const BindError a = BindError::invalid_argument(
        "k_max and find_k_args apply only when k is 'optimal' or 'sequence'");
    EXPECT_TRUE(a.code == "invalid_argument" && a.details.empty());
    EXPECT_EQ(a.message, "k_max and find_k_args apply only when k is 'optimal' or 'sequence'");
    EXPECT_TRUE(BindError::invalid_args("m").code == "invalid_args" && BindError::internal("m").code == "internal");
}
