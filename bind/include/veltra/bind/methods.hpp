// Method names and their option records. A public function that takes a
// method (`test_method`, `method`, `diagnostic`, `which`) takes beside it an
// option record (`args`, `rotation_args`, the `args` of `find_k_args`) whose
// admissible keys and defaults depend on the method. The readers here check
// the keys against the method's list and read each option with its default.
// Every failure is an `invalid_args` error: "unknown method: {}", "{context}
// does not accept arg '{}'; allowed: [...]" or "args['{key}'] for {context}
// {text}". The option record's type name, if any, is ignored; a key whose
// value is null counts as absent.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "veltra/bind/value.hpp"
#include "veltra/pls3.hpp"
#include "veltra/resample/confirmatory_method.hpp"
#include "veltra/rotate.hpp"

namespace veltra::bind {

// The options of the optimal component search.
struct FindKOptimalArgs {
    std::uint64_t n_folds = default_n_folds;
    std::uint64_t n_perm = default_n_perm;
    std::uint64_t n_splits = default_n_splits;
    bool force = false;
};

using OptionRecord = std::optional<Record>;

// Exact, case-sensitive match of one of the six names of confirmatory_method_names.
BindResult<ConfirmatoryMethod> parse_method(std::string_view name);

// The first key of `args` outside `allowed`, whatever its value, fails.
BindResult<void> validate_keys(std::string_view context, const OptionRecord& args,
                               std::span<const std::string_view> allowed);

// One option: the default when the record, the key or its value is absent.
BindResult<std::uint64_t> arg_usize(const OptionRecord& args, std::string_view context,
                                    std::string_view key, std::uint64_t fallback);
BindResult<bool> arg_bool(const OptionRecord& args, std::string_view context,
                          std::string_view key, bool fallback);
BindResult<double> arg_f64(const OptionRecord& args, std::string_view context,
                           std::string_view key, double fallback);

// max_iter (50), tol (1e-8), kaiser_normalize (true).
BindResult<VarimaxOpts> varimax_args(const OptionRecord& args);

// The method by name, then its options.
BindResult<ConfirmatoryArgs> confirmatory_args(std::string_view method, const OptionRecord& args);
// As confirmatory_args, admitting only split_exact, split_nb and auto.
BindResult<ConfirmatoryArgs> pls3_confirmatory_args(std::string_view method,
                                                    const OptionRecord& args);

// n_folds (5) of the kept-feature search.
BindResult<std::uint64_t> keep_optimal_opts(const OptionRecord& args);

// The options of the optimal component search, with the checks that tie
// them to the selector and to the diagnostic method.
BindResult<FindKOptimalArgs> find_k_optimal_opts(const OptionRecord& args, bool selector_is_bic,
                                                 std::optional<ConfirmatoryMethod> diagnostic);

// "x_scores", "y_scores" or "both".
BindResult<Pls3Which> which(std::string_view text);

}  // namespace veltra::bind
