// The PLS1 confirmatory test: does X carry signal for y at k components?
// The driver checks its inputs in a fixed order, replaces `auto` and a
// split_nb request that the split-method gate refuses by a concrete method,
// seeds the call's stream, runs one method routine and, when asked, the
// subsample intervals. The intervals draw their seed from the call's stream
// only after the routine is done with it, so a seed gives the same p-value
// and statistic with and without them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "veltra/error.hpp"
#include "veltra/resample/confirmatory.hpp"
#include "veltra/resample/confirmatory_method.hpp"
#include "veltra/resample/subsample.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

struct ConfirmatoryOpts {
    std::optional<std::uint64_t> seed;  // drawn from the system when absent
    std::optional<SubsampleOpts> ci;    // subsample intervals when present
    std::optional<std::size_t> keep;    // sparse PLS1: X columns kept per component
    ConfirmatoryArgs test;              // the method with its counts and force
    bool pre_standardized = false;      // read by the score test and the interval fit
};

// Public: under the entry wrapper, with method resolution.
Result<ConfirmatoryTestOutput> pls1_confirmatory_test(MatView x, VecView y, std::size_t k,
                                                      std::optional<VecView> weights,
                                                      const ConfirmatoryOpts& opts);

// The driver. With already_resolved the method runs as given (no gate, no
// auto rule), and `auto` is an internal error.
Result<ConfirmatoryTestOutput> confirmatory_test_impl(MatView x, VecView y, std::size_t k,
                                                      std::optional<VecView> weights,
                                                      const ConfirmatoryOpts& opts,
                                                      bool already_resolved);

}  // namespace veltra::resample
