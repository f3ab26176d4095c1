// The split-method gate: whether the corrected t over random splits
// (split_nb) may be trusted on this X and these weights, decided before any
// response is seen, and the choice that `auto` makes from it.
#pragma once

#include <optional>

#include "veltra/error.hpp"
#include "veltra/resample/confirmatory_method.hpp"
#include "veltra/view.hpp"

namespace veltra {

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

// Public: refuses a non-finite X and invalid weights, then evaluates the gate.
Result<SplitNbGateOutput> split_nb_gate(MatView x, std::optional<VecView> weights);

}  // namespace veltra
