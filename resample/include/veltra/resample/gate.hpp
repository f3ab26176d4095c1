// The split-method gate: whether the corrected t over random splits
// (split_nb) may be trusted on this X and these weights, decided before any
// response is seen, the choice that `auto` makes from it, and the one
// resolution of a requested method that every test and search runs.
#pragma once

#include <cstdint>
#include <optional>

#include "veltra/error.hpp"
#include "veltra/resample/confirmatory_method.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

struct SplitNbGateOutput {
    bool fires;
    double stable_rank;
    double n_eff;
};

struct GateVerdict {
    double stable_rank;
    bool fires;
    bool reroute;  // fires and the caller did not force split_nb
};

// The stable rank of X standardised with the weights (rescaled to mean one,
// or none). Wide X is streamed in column chunks into the n x n Gram matrix.
double standardized_stable_rank(MatView x, std::optional<VecView> weights);

// Fires when n_eff < 25, the stable rank is below 3 or NaN, or p < 5.
GateVerdict resolve_split_nb(MatView x, std::optional<VecView> weights, double n_eff, bool force);

struct AutoChoice {
    ConfirmatoryMethod method;             // split_nb or split_exact
    std::optional<double> stable_rank;  // when the gate was evaluated
};

// flag: k = 1 and no keep.
AutoChoice resolve_auto(MatView x, std::optional<VecView> weights, double n_eff, bool flag);

// A split_nb request that the gate refuses runs split_exact with this many
// permutations, whatever its caller asked for.
inline constexpr std::uint64_t rerouted_n_perm = default_n_perm;

struct ResolvedMethod {
    ConfirmatoryArgs test;              // the method that runs, with its counts
    std::optional<double> stable_rank;  // when the gate was evaluated
};

// split_nb through the gate (split_exact with rerouted_n_perm and the same
// n_splits when it reroutes), auto by resolve_auto with flag, any other
// method as requested. The counts not named here are kept as given.
ResolvedMethod resolve_method(const ConfirmatoryArgs& requested, MatView x,
                              std::optional<VecView> weights, double n_eff, bool flag);

// Public: refuses a non-finite X and invalid weights, then evaluates the gate.
Result<SplitNbGateOutput> split_nb_gate(MatView x, std::optional<VecView> weights);

}  // namespace veltra::resample
