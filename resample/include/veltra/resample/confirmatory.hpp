// What the confirmatory tests of PLS1 and of two blocks share: the result
// that both report (only the PLS1 test computes subsample intervals) and the
// check of split_exact's counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "veltra/error.hpp"
#include "veltra/resample/subsample.hpp"

namespace veltra::resample {

struct ConfirmatoryTestOutput {
    double pvalue = 0.0;
    double statistic = 0.0;
    std::string test_method;  // the method that ran, after any rerouting
    std::uint64_t k = 0;
    std::optional<std::uint64_t> n_perm;    // permutation methods only
    std::optional<std::uint64_t> n_splits;  // split methods only
    std::uint64_t seed = 0;                 // given or drawn
    double n_eff = 0.0;
    std::optional<double> rho_hat;      // split_nb only, when it has one
    std::optional<double> stable_rank;  // when the split-method gate ran
    std::optional<ConfirmatoryCI> ci;   // when subsample intervals were asked for
};

// n_splits >= 2, then a given n_perm >= 1.
Result<void> check_split_exact_counts(std::optional<std::uint64_t> n_perm, std::uint64_t n_splits);

// "n_splits must be ≥ 2, got {}" unless n_splits >= 2.
Result<void> check_n_splits(std::uint64_t n_splits);

}  // namespace veltra::resample
