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
#include <string>
#include <string_view>

#include "veltra/bind/value.hpp"
#include "veltra/pls3.hpp"
#include "veltra/resample/confirmatory_method.hpp"
#include "veltra/rotate.hpp"

namespace veltra::bind {

// The options of the optimal component search: the fold count of its CV
// selectors and the diagnostic with its counts (auto at its defaults when
// no diagnostic is given).
struct FindKOptimalArgs {
    std::uint64_t n_folds = 0;
    resample::ConfirmatoryArgs test;
};

using OptionRecord = std::optional<Record>;

// Exact, case-sensitive match of one of the six names of confirmatory_method_names.
BindResult<resample::ConfirmatoryMethod> parse_method(std::string_view name);

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
BindResult<resample::ConfirmatoryArgs> confirmatory_args(std::string_view method,
                                                         const OptionRecord& args);
// As confirmatory_args, admitting only the two-block test's methods.
BindResult<resample::ConfirmatoryArgs> pls3_confirmatory_args(std::string_view method,
                                                              const OptionRecord& args);
// The method of the sequential search by name, then its options under the
// context "method='sequence'": raw_perm without n_folds; no score.
BindResult<resample::ConfirmatoryArgs> sequence_args(std::string_view method,
                                                     const OptionRecord& args);

// n_folds (5) of the kept-feature search.
BindResult<std::uint64_t> keep_optimal_opts(const OptionRecord& args);

// The options of the optimal component search, with the checks that tie
// them to the selector and to the diagnostic method.
BindResult<FindKOptimalArgs> find_k_optimal_opts(
    const OptionRecord& args, bool selector_is_bic,
    std::optional<resample::ConfirmatoryMethod> diagnostic);

// What find_k_args holds for a k mode of pls1_fit (absent keys stay empty).
struct FindKArgs {
    std::optional<std::string> method;      // selector or test_method
    std::optional<std::string> diagnostic;  // optimal mode only
    std::optional<double> alpha;            // sequence mode only
    OptionRecord args;
};

// The keys of the mode (test_method, alpha, args in the sequence mode;
// selector, diagnostic, args in the optimal one), then each in that order:
// "find_k_args['{key}'] {text}" on a value of the wrong kind.
BindResult<FindKArgs> read_find_k_args(const OptionRecord& record, bool sequence);

// "x_scores", "y_scores" or "both".
BindResult<Pls3Which> which(std::string_view text);

}  // namespace veltra::bind
