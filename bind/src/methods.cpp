#include "veltra/bind/methods.hpp"

#include <array>
#include <string>
#include <utility>

#include "veltra/bind/coerce.hpp"
#include "veltra/bind/error.hpp"
#include "veltra/bind/fmt.hpp"

namespace veltra::bind {

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

std::string test_context(std::string_view method) {
    return "test_method='" + std::string(method) + "'";
}

// The row of one confirmatory method: its allowed keys, then its options.
BindResult<ConfirmatoryArgs> method_options(ConfirmatoryMethod method, std::string_view name,
                                            const OptionRecord& args) {
    static constexpr std::array raw_perm_keys = {"n_perm"sv, "n_folds"sv};
    static constexpr std::array split_nb_keys = {"n_splits"sv, "force"sv};
    static constexpr std::array split_exact_keys = {"n_perm"sv, "n_splits"sv};

    const std::string context = test_context(name);
    ConfirmatoryArgs out;
    out.method = method;
    switch (method) {
        case ConfirmatoryMethod::raw_perm: {
            VELTRA_CHECK(validate_keys(context, args, raw_perm_keys));
            VELTRA_TRY(n_perm, arg_usize(args, context, "n_perm", default_n_perm));
            VELTRA_TRY(n_folds, arg_usize(args, context, "n_folds", default_n_folds));
            out.n_perm = *n_perm;
            out.n_folds = *n_folds;
            return out;
        }
        case ConfirmatoryMethod::split_nb: {
            VELTRA_CHECK(validate_keys(context, args, split_nb_keys));
            VELTRA_TRY(n_splits, arg_usize(args, context, "n_splits", default_n_splits));
            VELTRA_TRY(force, arg_bool(args, context, "force", false));
            out.n_splits = *n_splits;
            out.force = *force;
            return out;
        }
        case ConfirmatoryMethod::split_exact:
        case ConfirmatoryMethod::auto_: {
            VELTRA_CHECK(validate_keys(context, args, split_exact_keys));
            VELTRA_TRY(n_perm, arg_usize(args, context, "n_perm", default_n_perm));
            VELTRA_TRY(n_splits, arg_usize(args, context, "n_splits", default_n_splits));
            out.n_perm = *n_perm;
            out.n_splits = *n_splits;
            return out;
        }
        case ConfirmatoryMethod::score:
        case ConfirmatoryMethod::e:
            VELTRA_CHECK(validate_keys(context, args, {}));
            return out;
    }
    internal_failure("unknown confirmatory method");
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
    const Value* v = option(args, key);
    if (!v) return fallback;
    auto n = to_usize(*v);
    if (!n) return bad_option(key, context, n.error());
    return *n;
}

BindResult<bool> arg_bool(const OptionRecord& args, std::string_view context,
                          std::string_view key, bool fallback) {
    const Value* v = option(args, key);
    if (!v) return fallback;
    if (const bool* b = v->get_if<bool>()) return *b;
    return bad_option(key, context, "must be a bool, got " + describe(*v));
}

BindResult<double> arg_f64(const OptionRecord& args, std::string_view context,
                           std::string_view key, double fallback) {
    const Value* v = option(args, key);
    if (!v) return fallback;
    auto x = to_f64(*v);
    if (!x) return bad_option(key, context, x.error());
    return *x;
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
    return method_options(*m, method, args);
}

BindResult<ConfirmatoryArgs> pls3_confirmatory_args(std::string_view method,
                                                    const OptionRecord& args) {
    if (method != "split_exact" && method != "split_nb" && method != "auto")
        return bad_args(test_context(method) +
                        " is not available for pls3_confirmatory_test; allowed: "
                        "['split_exact', 'split_nb', 'auto']");
    return confirmatory_args(method, args);
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
    FindKOptimalArgs out;

    VELTRA_CHECK(validate_keys(context, args, keys));
    VELTRA_TRY(n_folds, arg_usize(args, context, "n_folds", out.n_folds));
    if (selector_is_bic && option(args, "n_folds"))
        return bad_args("selector='bic' does not accept arg 'n_folds'");

    VELTRA_CHECK(diagnostic_gate(args, "n_perm", diagnostic, {M::raw_perm, M::split_exact},
                                  "diagnostic in {raw_perm, split_exact}"));
    VELTRA_CHECK(diagnostic_gate(args, "n_splits", diagnostic, {M::split_nb, M::split_exact},
                                  "diagnostic in {split_nb, split_exact}"));
    VELTRA_CHECK(diagnostic_gate(args, "force", diagnostic, {M::split_nb},
                                  "diagnostic='split_nb'"));

    VELTRA_TRY(n_perm, arg_usize(args, context, "n_perm", out.n_perm));
    VELTRA_TRY(n_splits, arg_usize(args, context, "n_splits", out.n_splits));
    VELTRA_TRY(force, arg_bool(args, "diagnostic='split_nb'", "force", out.force));

    out.n_folds = *n_folds;
    out.n_perm = *n_perm;
    out.n_splits = *n_splits;
    out.force = *force;
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
