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

// The values, and the clamping of counts above the signed range, are checked
// where Python reads them as attributes.
TEST(BindError, DetailRecordsNameTheirFieldsInOrder) {
    const auto names = [](const VeltraError& core) { return detail_names(BindError::from_core(core)); };
    EXPECT_EQ(names(VeltraError::InvalidWeights{"negative"}), (std::vector<std::string>{"reason"}));
    EXPECT_EQ(names(VeltraError::ResamplingDegenerate{3, 40, 0.075, 0.05}),
              (std::vector<std::string>{"skipped", "total", "skip_rate", "threshold"}));
}
