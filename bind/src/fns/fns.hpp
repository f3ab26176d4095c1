// The adapters of the public functions, one per registry entry (pls3_fit and
// plssvd_fit share one, as do pls3_transform and plssvd_transform). Each group
// file defines its adapters; the registry table only points at them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "veltra/bind/error.hpp"
#include "veltra/bind/inputs.hpp"
#include "veltra/bind/registry.hpp"
#include "veltra/resample/subsample.hpp"
#include "veltra/standardize.hpp"
#include "veltra/view.hpp"

namespace veltra::bind::fns {

// pls1.cpp
BindResult<CallOutput> preprocess(Inputs& in);
BindResult<CallOutput> pls1_fit(Inputs& in);
BindResult<CallOutput> pls1_predict(Inputs& in);
BindResult<CallOutput> spls1_fit(Inputs& in);

// find_k.cpp
BindResult<CallOutput> pls1_find_k_optimal(Inputs& in);
BindResult<CallOutput> pls1_find_k_sequence(Inputs& in);
BindResult<CallOutput> spls1_find_keep_optimal(Inputs& in);
BindResult<CallOutput> spls1_find_k_optimal(Inputs& in);
BindResult<CallOutput> spls1_find_k_sequence(Inputs& in);

// The component count that a k mode of pls1_fit ("optimal" or "sequence")
// chose, the search's record (stored as selection_result) and its warnings.
struct SelectedK {
    std::uint64_t k = 0;
    Value selection;
    std::vector<Record> warnings;
};
BindResult<SelectedK> select_k(MatView X, VecView y, std::optional<VecView> weights,
                               std::string_view mode, std::optional<std::uint64_t> k_max,
                               std::optional<Record> find_k_args, bool pre_standardized,
                               std::optional<std::uint64_t> seed);

// pls3.cpp
BindResult<CallOutput> pls3_fit(Inputs& in);
// The response block of the two fits: Y as a matrix, with the PLS1 hint for
// a vector.
BindResult<MatF64> pls3_y(Inputs& in);
BindResult<CallOutput> pls3_transform(Inputs& in);
BindResult<CallOutput> spls3_fit(Inputs& in);

// inference.cpp
BindResult<CallOutput> pls1_confirmatory_test(Inputs& in);
BindResult<CallOutput> split_nb_gate(Inputs& in);
BindResult<CallOutput> pls1_perm_null(Inputs& in);
BindResult<CallOutput> pls3_confirmatory_test(Inputs& in);
BindResult<CallOutput> pls1_perm_alpha(Inputs& in);

// rotation_stability.cpp
BindResult<CallOutput> pls1_rotation_stability(Inputs& in);

// rotate.cpp
BindResult<CallOutput> rotate(Inputs& in);

// common.cpp: argument groups that several functions read in the same order.

// pre_standardized, seed and verbose, read in that order: the flags that
// follow the resampling functions' own arguments.
struct RunFlags {
    bool pre_standardized = false;
    std::optional<std::uint64_t> seed;
    bool verbose = false;
};
BindResult<RunFlags> read_run_flags(Inputs& in);

// pre_standardized_X and pre_standardized_Y, read in that order.
struct Pls3Flags {
    bool pre_standardized_X = false;
    bool pre_standardized_Y = false;
};
BindResult<Pls3Flags> read_pls3_flags(Inputs& in);

// The subsample arguments; an absent one takes the core's default.
struct SubsampleArgs {
    std::optional<std::uint64_t> n_boot;
    std::optional<double> m_rate;
    std::optional<double> level;
    std::optional<double> max_failure_rate;
    std::optional<double> max_skip_rate;

    SubsampleOpts opts() const;
};
// n_boot, m_rate and level, read in that order; the two rates are read by
// the adapters, each in its own place.
BindResult<SubsampleArgs> read_subsample_size(Inputs& in);

// Views of the values an adapter took from Inputs; valid while they live.
inline std::optional<VecView> view_of(const std::optional<VecF64>& v) {
    if (!v) return std::nullopt;
    return v->view();
}
inline std::optional<MatView> view_of(const std::optional<MatF64>& m) {
    if (!m) return std::nullopt;
    return m->as_mat();
}

}  // namespace veltra::bind::fns
