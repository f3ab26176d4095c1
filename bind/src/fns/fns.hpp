// The adapters of the public functions, one per registry entry (pls3_fit and
// plssvd_fit share one, as do pls3_transform and plssvd_transform). Each group
// file defines its adapters; the registry table only points at them.
#pragma once

#include <string>

#include "veltra/bind/error.hpp"
#include "veltra/bind/inputs.hpp"
#include "veltra/bind/registry.hpp"

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

// pls3.cpp
BindResult<CallOutput> pls3_fit(Inputs& in);
BindResult<CallOutput> pls3_transform(Inputs& in);
BindResult<CallOutput> spls3_fit(Inputs& in);

// inference.cpp
BindResult<CallOutput> pls1_confirmatory_test(Inputs& in);
BindResult<CallOutput> split_nb_gate(Inputs& in);
BindResult<CallOutput> pls1_perm_null(Inputs& in);
BindResult<CallOutput> pls3_confirmatory_test(Inputs& in);
BindResult<CallOutput> pls1_perm_alpha(Inputs& in);
BindResult<CallOutput> pls1_rotation_stability(Inputs& in);

// rotate.cpp
BindResult<CallOutput> rotate(Inputs& in);

// The answer of a function whose adapter is not built yet. It never
// pretends to compute: the call fails with an internal error naming the
// function.
inline BindResult<CallOutput> not_available(const Inputs& in) {
    return std::unexpected(
        BindError::internal(std::string(in.function_name()) + " is not available yet"));
}

}  // namespace veltra::bind::fns
