// The component searches: pls1_/spls1_find_k_optimal, pls1_/spls1_find_k_sequence
// and the k modes of pls1_fit, which run the dense searches and insist that
// they found a component.
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "fns/fns.hpp"
#include "veltra/bind/coerce.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/bind/warn.hpp"
#include "veltra/select/find_k_search.hpp"

namespace veltra::bind::fns {
namespace {

using namespace std::string_view_literals;
using M = ConfirmatoryMethod;

// A rerouted diagnostic or test method always ran split_exact with this many
// permutations.
constexpr std::uint64_t rerouted_n_perm = default_n_perm;

struct Common {
    bool pre_standardized = false;
    std::optional<std::uint64_t> seed;
    bool verbose = false;
};

BindResult<Common> common(Inputs& in) {
    VELTRA_TRY(pre_standardized, in.boolean("pre_standardized"));
    VELTRA_TRY(seed, in.seed("seed"));
    VELTRA_TRY(verbose, in.boolean("verbose"));
    return Common{*pre_standardized, *seed, *verbose};
}

// What the four search entries read, in their order.
struct SearchInputs {
    MatF64 X;
    VecF64 y;
    std::uint64_t k_max = 0;
    std::optional<std::uint64_t> keep;  // the sparse entries only
    std::string method;                 // selector or test_method
    std::optional<std::string> diagnostic;
    std::optional<double> alpha;
    OptionRecord args;
    Common common;
    std::optional<VecF64> weights;
};

// The optimal entries read a diagnostic after the selector, the sequence
// entries an alpha after the test method.
BindResult<SearchInputs> read_search(Inputs& in, bool sparse, bool optimal) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(y, in.vec("y"));
    VELTRA_TRY(k_max, in.usize("k_max"));
    std::optional<std::uint64_t> keep;
    if (sparse) {
        VELTRA_TRY(k, in.usize("keep"));
        keep = *k;
    }
    VELTRA_TRY(method, in.string(optimal ? "selector" : "test_method"));
    std::optional<std::string> diagnostic;
    std::optional<double> alpha;
    if (optimal) {
        VELTRA_TRY(d, in.opt_string("diagnostic"));
        diagnostic = std::move(*d);
    } else {
        VELTRA_TRY(a, in.opt_f64("alpha"));
        alpha = *a;
    }
    VELTRA_TRY(args, in.opt_record("args"));
    VELTRA_TRY(shared, common(in));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());
    return SearchInputs{std::move(*X), std::move(*y), *k_max, keep, std::move(*method),
                        std::move(diagnostic), alpha, std::move(*args), *shared,
                        std::move(*weights)};
}

struct Searched {
    std::uint64_t k_star = 0;
    Record record;
    std::optional<Record> warning;
};

BindResult<Searched> optimal_core(MatView X, VecView y, std::optional<VecView> weights,
                                  std::uint64_t k_max, std::optional<std::uint64_t> keep,
                                  std::string_view selector,
                                  const std::optional<std::string>& diagnostic,
                                  const OptionRecord& args, const Common& common,
                                  bool require_component) {
    FindKOpts opts;
    if (selector == "r2_se")
        opts.selector = Selector::r2_se;
    else if (selector == "r2_max")
        opts.selector = Selector::r2_max;
    else if (selector == "bic")
        opts.selector = Selector::bic;
    else
        return std::unexpected(BindError::invalid_args("unknown selector: " + std::string(selector)));
    if (diagnostic) {
        VELTRA_TRY(method, parse_method(*diagnostic));
        opts.diagnostic = *method;
    }
    VELTRA_TRY(parsed, find_k_optimal_opts(args, opts.selector == Selector::bic, opts.diagnostic));
    opts.seed = common.seed;
    opts.n_folds = parsed->n_folds;
    opts.n_perm = parsed->n_perm;
    opts.n_splits = parsed->n_splits;
    opts.force = parsed->force;
    opts.pre_standardized = common.pre_standardized;
    opts.verbose = common.verbose;

    auto out = keep ? veltra::spls1_find_k_optimal(X, y, k_max, *keep, weights, opts)
                    : veltra::pls1_find_k_optimal(X, y, k_max, weights, opts);
    if (!out) return std::unexpected(BindError::from_core(std::move(out.error())));
    if (require_component && out->k_star == 0)
        return std::unexpected(BindError::from_core(VeltraError{VeltraError::OptimalNoComponent{}}));
    std::optional<Record> warning =
        rerouted(diagnostic ? std::optional<std::string_view>(*diagnostic) : std::nullopt,
                 out->diagnostic ? std::optional<std::string_view>(*out->diagnostic) : std::nullopt,
                 rerouted_n_perm, out->stable_rank, out->n_eff);
    return Searched{out->k_star, find_k_optimal(*out), std::move(warning)};
}

std::span<const std::string_view> sequence_keys(M method) {
    static constexpr std::array raw_perm = {"n_perm"sv};
    static constexpr std::array split_nb = {"n_splits"sv, "force"sv};
    static constexpr std::array split_exact = {"n_perm"sv, "n_splits"sv};
    switch (method) {
        case M::raw_perm: return raw_perm;
        case M::split_nb: return split_nb;
        case M::split_exact:
        case M::auto_: return split_exact;
        case M::score:
        case M::e: return {};
    }
    return {};
}

BindResult<Searched> sequence_core(MatView X, VecView y, std::optional<VecView> weights,
                                   std::uint64_t k_max, std::optional<std::uint64_t> keep,
                                   std::string_view test_method, std::optional<double> alpha,
                                   const OptionRecord& args, const Common& common,
                                   bool require_rejection) {
    VELTRA_TRY(method, parse_method(test_method));
    if (*method == M::score)
        return std::unexpected(
            BindError::invalid_args("test_method='score' has no sequential variant"));
    VELTRA_CHECK(validate_keys("method='sequence'", args, sequence_keys(*method)));
    const std::string label = "test_method='" + std::string(test_method) + "'";

    FindKSequenceOpts opts;
    opts.test_method = *method;
    opts.alpha = alpha.value_or(0.05);
    VELTRA_TRY(n_perm, arg_usize(args, label, "n_perm", default_n_perm));
    VELTRA_TRY(n_splits, arg_usize(args, label, "n_splits", default_n_splits));
    VELTRA_TRY(force, arg_bool(args, label, "force", false));
    opts.n_perm = *n_perm;
    opts.n_splits = *n_splits;
    opts.force = *force;
    opts.seed = common.seed;
    opts.pre_standardized = common.pre_standardized;
    opts.verbose = common.verbose;

    auto out = keep ? veltra::spls1_find_k_sequence(X, y, k_max, *keep, weights, opts)
                    : veltra::pls1_find_k_sequence(X, y, k_max, weights, opts);
    if (!out) return std::unexpected(BindError::from_core(std::move(out.error())));
    if (require_rejection && out->k_star == 0)
        return std::unexpected(
            BindError::from_core(VeltraError{VeltraError::SequenceNoRejection{out->alpha}}));
    std::optional<Record> warning =
        rerouted(test_method, out->test_method, rerouted_n_perm, out->stable_rank, out->n_eff);
    return Searched{out->k_star, find_k_sequence(*out), std::move(warning)};
}

BindResult<CallOutput> optimal_entry(Inputs& in, bool sparse) {
    VELTRA_TRY(s, read_search(in, sparse, true));
    VELTRA_TRY(found, optimal_core(s->X.as_mat(), s->y.view(), view_of(s->weights), s->k_max,
                                   s->keep, s->method, s->diagnostic, s->args, s->common, false));
    return with_warning(std::move(found->record), std::move(found->warning));
}

BindResult<CallOutput> sequence_entry(Inputs& in, bool sparse) {
    VELTRA_TRY(s, read_search(in, sparse, false));
    VELTRA_TRY(found, sequence_core(s->X.as_mat(), s->y.view(), view_of(s->weights), s->k_max,
                                    s->keep, s->method, s->alpha, s->args, s->common, false));
    return with_warning(std::move(found->record), std::move(found->warning));
}

// Readers of find_k_args; every failure is invalid_args.
std::unexpected<BindError> bad_find_k_arg(std::string_view key, std::string_view text) {
    return std::unexpected(BindError::invalid_args("find_k_args['" + std::string(key) + "'] " +
                                                   std::string(text)));
}

const Value* fk_value(const Record& fka, std::string_view key) {
    const Value* v = fka.find(key);
    return v && !v->is_none() ? v : nullptr;
}

BindResult<std::optional<std::string>> fk_str(const Record& fka, std::string_view key) {
    const Value* v = fk_value(fka, key);
    if (!v) return std::nullopt;
    if (const Str* s = v->get_if<Str>()) return std::string(s->view());
    return bad_find_k_arg(key, "must be a string, got " + describe(*v));
}

BindResult<std::optional<double>> fk_f64(const Record& fka, std::string_view key) {
    const Value* v = fk_value(fka, key);
    if (!v) return std::nullopt;
    auto x = to_f64(*v);
    if (!x) return bad_find_k_arg(key, x.error());
    return *x;
}

BindResult<OptionRecord> fk_args(const Record& fka) {
    const Value* v = fk_value(fka, "args");
    if (!v) return OptionRecord();
    if (const Record* r = v->get_if<Record>()) return OptionRecord(r->clone());
    return std::unexpected(BindError::invalid_args(
        "find_k_args['args'] must be a record of named values, got " + describe(*v)));
}

SelectedK selected(Searched&& found) {
    SelectedK out{found.k_star, Value(std::move(found.record)), {}};
    if (found.warning) out.warnings.push_back(std::move(*found.warning));
    return out;
}

}  // namespace

BindResult<CallOutput> pls1_find_k_optimal(Inputs& in) { return optimal_entry(in, false); }
BindResult<CallOutput> spls1_find_k_optimal(Inputs& in) { return optimal_entry(in, true); }
BindResult<CallOutput> pls1_find_k_sequence(Inputs& in) { return sequence_entry(in, false); }
BindResult<CallOutput> spls1_find_k_sequence(Inputs& in) { return sequence_entry(in, true); }

BindResult<SelectedK> select_k(MatView X, VecView y, std::optional<VecView> weights,
                               std::string_view mode, std::optional<std::uint64_t> k_max,
                               std::optional<Record> find_k_args, bool pre_standardized,
                               std::optional<std::uint64_t> seed) {
    // Appended, not concatenated: GCC 12 warns (-Wrestrict) on "'" + string here.
    std::string quoted = "'";
    quoted.append(mode).append("'");
    if (!k_max)
        return std::unexpected(BindError::invalid_argument("k=" + quoted + " requires k_max"));
    const OptionRecord fka_opt = find_k_args ? std::move(find_k_args) : OptionRecord(Record());
    const Record& fka = *fka_opt;
    const Common shared{pre_standardized, seed, false};

    const bool sequence = mode == "sequence";
    if (!sequence && mode != "optimal")
        return std::unexpected(BindError::invalid_argument("unknown k mode " + quoted +
                                                           "; use int, 'optimal', or 'sequence'"));
    static constexpr std::array sequence_keys = {"test_method"sv, "alpha"sv, "args"sv};
    static constexpr std::array optimal_keys = {"selector"sv, "diagnostic"sv, "args"sv};
    VELTRA_CHECK(validate_keys("find_k_args", fka_opt, sequence ? sequence_keys : optimal_keys));
    VELTRA_TRY(method, fk_str(fka, sequence ? "test_method" : "selector"));
    std::optional<double> alpha;
    std::optional<std::string> diagnostic;
    if (sequence) {
        VELTRA_TRY(a, fk_f64(fka, "alpha"));
        alpha = *a;
    } else {
        VELTRA_TRY(d, fk_str(fka, "diagnostic"));
        diagnostic = std::move(*d);
    }
    VELTRA_TRY(args, fk_args(fka));
    VELTRA_TRY(found, sequence ? sequence_core(X, y, weights, *k_max, std::nullopt,
                                               method->value_or("auto"), alpha, *args, shared, true)
                               : optimal_core(X, y, weights, *k_max, std::nullopt,
                                              method->value_or("r2_se"), diagnostic, *args,
                                              shared, true));
    return selected(std::move(*found));
}

}  // namespace veltra::bind::fns
