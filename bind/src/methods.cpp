#include "veltra/bind/methods.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "veltra/bind/coerce.hpp"
#include "veltra/bind/error.hpp"
#include "veltra/bind/fmt.hpp"
#include "veltra/resample/pls3_signal_test.hpp"
#include "veltra/select/find_k_search.hpp"
#include "veltra/select/sequential.hpp"

namespace veltra::bind {

using namespace veltra::resample;
using namespace veltra::select;

namespace {

using namespace std::string_view_literals;

std::unexpected<BindError> bad_args(std::string message) {
    return std::unexpected(BindError::invalid_args(std::move(message)));
}

// The option's value, or null when the record or the key is absent.
const Value* option(const OptionRecord& args, std::string_view key) {
    if (!args) return nullptr;
    const Value* v = args->find(key);
    return (v && !v->is_none()) ? v : nullptr;
}

std::unexpected<BindError> bad_option(std::string_view key, std::string_view context,
                                      std::string_view text) {
    return bad_args("args['" + std::string(key) + "'] for " + std::string(context) + " " +
                    std::string(text));
}

// One option converted by `convert`, or the fallback when it is absent.
template <class T>
BindResult<T> option_of(const OptionRecord& args, std::string_view context, std::string_view key,
                        T fallback, Coerced<T> (*convert)(const Value&)) {
    const Value* v = option(args, key);
    if (!v) return fallback;
    auto x = convert(*v);
    if (!x) return bad_option(key, context, x.error());
    return *x;
}

std::string test_context(std::string_view method) {
    return "test_method='" + std::string(method) + "'";
}

// The keys a method reads from its option record, in reading order. The
// sequential tests fix raw_perm's folds, so there it reads n_perm alone.
std::span<const std::string_view> method_keys(ConfirmatoryMethod method, bool sequence) {
    static constexpr std::array raw_perm = {"n_perm"sv, "n_folds"sv};
    static constexpr std::array split_nb = {"n_splits"sv, "force"sv};
    static constexpr std::array split_exact = {"n_perm"sv, "n_splits"sv};
    switch (method) {
        case ConfirmatoryMethod::raw_perm:
            return std::span(raw_perm).first(sequence ? 1 : 2);
        case ConfirmatoryMethod::split_nb:
            return split_nb;
        case ConfirmatoryMethod::split_exact:
        case ConfirmatoryMethod::auto_:
            return split_exact;
        case ConfirmatoryMethod::score:
        case ConfirmatoryMethod::e:
            return {};
    }
    internal_failure("unknown confirmatory method");
}

// The options among `keys` read over the request's own defaults, in the
// order n_perm, n_folds, n_splits, force.
BindResult<ConfirmatoryArgs> read_counts(ConfirmatoryArgs out, const OptionRecord& args,
                                         std::string_view context,
                                         std::span<const std::string_view> keys,
                                         std::string_view force_context) {
    using Count = std::pair<std::string_view, std::uint64_t ConfirmatoryArgs::*>;
    static constexpr std::array counts = {Count{"n_perm", &ConfirmatoryArgs::n_perm},
                                          Count{"n_folds", &ConfirmatoryArgs::n_folds},
                                          Count{"n_splits", &ConfirmatoryArgs::n_splits}};
    const auto reads = [&](std::string_view key) { return std::ranges::count(keys, key) > 0; };
    for (const auto& [key, field] : counts) {
        if (!reads(key)) continue;
        VELTRA_TRY(n, arg_usize(args, context, key, out.*field));
        out.*field = *n;
    }
    if (reads("force")) {
        VELTRA_TRY(force, arg_bool(args, force_context, "force", out.force));
        out.force = *force;
    }
    return out;
}

// A key of the optimal search that only some diagnostics read.
BindResult<void> diagnostic_gate(const OptionRecord& args, std::string_view key,
                                 std::optional<ConfirmatoryMethod> diagnostic,
                                 std::initializer_list<ConfirmatoryMethod> admitted,
                                 std::string_view admitted_text) {
    if (!option(args, key)) return {};
    if (!diagnostic)
        return bad_args("args['" + std::string(key) + "'] requires diagnostic to be set");
    for (const ConfirmatoryMethod m : admitted)
        if (*diagnostic == m) return {};
    return bad_args("args['" + std::string(key) + "'] only valid for " +
                    std::string(admitted_text));
}

}  // namespace

BindResult<ConfirmatoryMethod> parse_method(std::string_view name) {
    for (std::size_t i = 0; i < confirmatory_method_names.size(); ++i)
        if (confirmatory_method_names[i] == name) return static_cast<ConfirmatoryMethod>(i);
    return bad_args("unknown method: " + std::string(name));
}

BindResult<void> validate_keys(std::string_view context, const OptionRecord& args,
                               std::span<const std::string_view> allowed) {
    if (!args) return {};
    for (const Field& f : args->fields()) {
        bool known = false;
        for (const std::string_view a : allowed) known = known || f.name == a;
        if (!known)
            return bad_args(std::string(context) + " does not accept arg '" + f.name +
                            "'; allowed: " + py_list(allowed));
    }
    return {};
}

BindResult<std::uint64_t> arg_usize(const OptionRecord& args, std::string_view context,
                                    std::string_view key, std::uint64_t fallback) {
    return option_of(args, context, key, fallback, to_usize);
}

BindResult<bool> arg_bool(const OptionRecord& args, std::string_view context,
                          std::string_view key, bool fallback) {
    return option_of(args, context, key, fallback, to_bool);
}

BindResult<double> arg_f64(const OptionRecord& args, std::string_view context,
                           std::string_view key, double fallback) {
    return option_of(args, context, key, fallback, to_f64);
}

BindResult<VarimaxOpts> varimax_args(const OptionRecord& args) {
    static constexpr std::string_view context = "method='varimax'";
    static constexpr std::array keys = {"max_iter"sv, "tol"sv, "kaiser_normalize"sv};
    const VarimaxOpts defaults;
    VELTRA_CHECK(validate_keys(context, args, keys));
    VELTRA_TRY(max_iter, arg_usize(args, context, "max_iter", defaults.max_iter));
    VELTRA_TRY(tol, arg_f64(args, context, "tol", defaults.tol));
    VELTRA_TRY(kaiser, arg_bool(args, context, "kaiser_normalize", defaults.kaiser_normalize));
    return VarimaxOpts{*max_iter, *tol, *kaiser};
}

BindResult<ConfirmatoryArgs> confirmatory_args(std::string_view method,
                                               const OptionRecord& args) {
    VELTRA_TRY(m, parse_method(method));
    const std::string context = test_context(method);
    const std::span keys = method_keys(*m, false);
    VELTRA_CHECK(validate_keys(context, args, keys));
    return read_counts(ConfirmatoryArgs{.method = *m}, args, context, keys, context);
}

BindResult<ConfirmatoryArgs> pls3_confirmatory_args(std::string_view method,
                                                    const OptionRecord& args) {
    std::array<std::string_view, pls3_confirmatory_methods.size()> names;
    std::ranges::transform(pls3_confirmatory_methods, names.begin(), method_name);
    if (std::ranges::count(names, method) == 0)
        return bad_args(test_context(method) +
                        " is not available for pls3_confirmatory_test; allowed: " +
                        py_list(names));
    return confirmatory_args(method, args);
}

BindResult<ConfirmatoryArgs> sequence_args(std::string_view method, const OptionRecord& args) {
    VELTRA_TRY(m, parse_method(method));
    const std::optional<SequentialKind> kind = SequentialArgs::defaults_for(*m);
    if (!kind) return bad_args(test_context(method) + " has no sequential variant");
    const std::span keys = method_keys(*m, true);
    VELTRA_CHECK(validate_keys("method='sequence'", args, keys));
    const std::string context = test_context(method);
    return read_counts(*kind, args, context, keys, context);
}

BindResult<std::uint64_t> keep_optimal_opts(const OptionRecord& args) {
    static constexpr std::string_view context = "method='keep_optimal'";
    static constexpr std::array keys = {"n_folds"sv};
    VELTRA_CHECK(validate_keys(context, args, keys));
    return arg_usize(args, context, "n_folds", default_n_folds);
}

BindResult<FindKOptimalArgs> find_k_optimal_opts(const OptionRecord& args, bool selector_is_bic,
                                                 std::optional<ConfirmatoryMethod> diagnostic) {
    static constexpr std::string_view context = "method='optimal'";
    static constexpr std::array keys = {"n_folds"sv, "n_perm"sv, "n_splits"sv, "force"sv};
    using M = ConfirmatoryMethod;

    VELTRA_CHECK(validate_keys(context, args, keys));
    VELTRA_TRY(n_folds, arg_usize(args, context, "n_folds", FindKOpts{}.n_folds));
    if (selector_is_bic && option(args, "n_folds"))
        return bad_args("selector='bic' does not accept arg 'n_folds'");

    VELTRA_CHECK(diagnostic_gate(args, "n_perm", diagnostic, {M::raw_perm, M::split_exact},
                                  "diagnostic in {raw_perm, split_exact}"));
    VELTRA_CHECK(diagnostic_gate(args, "n_splits", diagnostic, {M::split_nb, M::split_exact},
                                  "diagnostic in {split_nb, split_exact}"));
    VELTRA_CHECK(diagnostic_gate(args, "force", diagnostic, {M::split_nb},
                                  "diagnostic='split_nb'"));

    const ConfirmatoryArgs defaults{.method = diagnostic.value_or(M::auto_)};
    VELTRA_TRY(test, read_counts(defaults, args, context, std::span(keys).subspan(1),
                                 "diagnostic='split_nb'"));
    return FindKOptimalArgs{*n_folds, *test};
}

BindResult<FindKArgs> read_find_k_args(const OptionRecord& record, bool sequence) {
    static constexpr std::array sequence_keys = {"test_method"sv, "alpha"sv, "args"sv};
    static constexpr std::array optimal_keys = {"selector"sv, "diagnostic"sv, "args"sv};
    const std::span keys = sequence ? std::span(sequence_keys) : std::span(optimal_keys);
    VELTRA_CHECK(validate_keys("find_k_args", record, keys));
    const auto bad = [](std::string_view key, std::string_view text) {
        return bad_args("find_k_args['" + std::string(key) + "'] " + std::string(text));
    };
    FindKArgs out;
    for (const std::string_view key : keys.first(2)) {
        const Value* v = option(record, key);
        if (!v) continue;
        if (key == "alpha") {
            auto x = to_f64(*v);
            if (!x) return bad(key, x.error());
            out.alpha = *x;
        } else if (const Str* text = v->get_if<Str>()) {
            (key == "diagnostic" ? out.diagnostic : out.method) = std::string(text->view());
        } else {
            return bad(key, "must be a string, got " + describe(*v));
        }
    }
    if (const Value* v = option(record, "args")) {
        const Record* r = v->get_if<Record>();
        if (!r) return bad("args", "must be a record of named values, got " + describe(*v));
        out.args = r->clone();
    }
    return out;
}

BindResult<Pls3Which> which(std::string_view text) {
    if (text == "x_scores") return Pls3Which::x_scores;
    if (text == "y_scores") return Pls3Which::y_scores;
    if (text == "both") return Pls3Which::both;
    return bad_args("unknown which: " + std::string(text) +
                    "; allowed: ['x_scores', 'y_scores', 'both']");
}

}  // namespace veltra::bind
