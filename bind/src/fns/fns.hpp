// The adapters of the public functions, one per registry entry (pls3_fit and
// plssvd_fit share one, as do pls3_transform and plssvd_transform). Each group
// file defines its adapters; the registry table only points at them. Below
// them, the readers of the argument groups that several adapters share.
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
#include "veltra/view.hpp"

namespace veltra::bind::fns {

// Every adapter has this type; the registry's table points at them.
using Adapter = BindResult<CallOutput>(Inputs& in);

// pls1.cpp
Adapter preprocess, pls1_fit, pls1_predict, spls1_fit;

// find_k.cpp (the kept-feature search) and find_k_search.cpp
Adapter spls1_find_keep_optimal;
Adapter pls1_find_k_optimal, pls1_find_k_sequence, spls1_find_k_optimal, spls1_find_k_sequence;

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
Adapter pls3_fit, pls3_transform, spls3_fit;
// The response block of the two fits: Y as a matrix, with the PLS1 hint for
// a vector.
BindResult<MatF64> pls3_y(Inputs& in);

// inference.cpp
Adapter pls1_confirmatory_test, split_nb_gate, pls1_perm_null, pls3_confirmatory_test,
    pls1_perm_alpha;

// rotation_stability.cpp and rotate.cpp
Adapter pls1_rotation_stability, rotate;

// common.cpp: argument groups that several functions read in the same order.

// X and y, read in that order: the data of a one-response function.
struct Pls1Data {
    MatF64 X;
    VecF64 y;
};
BindResult<Pls1Data> read_pls1_data(Inputs& in);

// X and Y (by pls3_y), read in that order: the data of a two-block function.
struct Pls3Data {
    MatF64 X;
    MatF64 Y;
};
BindResult<Pls3Data> read_pls3_data(Inputs& in);

// pre_standardized, seed and verbose, read in that order: the flags that
// follow the resampling functions' own arguments.
struct RunFlags {
    bool pre_standardized = false;
    std::optional<std::uint64_t> seed;
    bool verbose = false;
};
BindResult<RunFlags> read_run_flags(Inputs& in);
// `opts` with the seed and the two flags in place.
template <class Opts>
Opts with_flags(Opts opts, const RunFlags& flags) {
    opts.seed = flags.seed;
    opts.pre_standardized = flags.pre_standardized;
    opts.verbose = flags.verbose;
    return opts;
}

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

    resample::SubsampleOpts opts() const;
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
