// The component searches: pls1_/spls1_find_k_optimal, pls1_/spls1_find_k_sequence
// and the k modes of pls1_fit, which run the dense searches and insist that
// they found a component.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "fns/fns.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/bind/warn.hpp"
#include "veltra/resample/gate.hpp"
#include "veltra/select/find_k_search.hpp"

namespace veltra::bind::fns {
namespace {

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
    RunFlags flags;
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
    VELTRA_TRY(flags, read_run_flags(in));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());
    return SearchInputs{std::move(*X), std::move(*y), *k_max, keep, std::move(*method),
                        std::move(diagnostic), alpha, std::move(*args), *flags,
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
                                  const OptionRecord& args, const RunFlags& flags,
                                  bool require_component) {
    static constexpr std::array selectors = {Selector::r2_se, Selector::r2_max, Selector::bic};
    const auto chosen = std::ranges::find(selectors, selector, selector_name);
    if (chosen == selectors.end())
        return std::unexpected(BindError::invalid_args("unknown selector: " + std::string(selector)));
    FindKOpts opts;
    opts.selector = *chosen;
    std::optional<ConfirmatoryMethod> method;
    if (diagnostic) {
        VELTRA_TRY(m, parse_method(*diagnostic));
        method = *m;
    }
    VELTRA_TRY(parsed, find_k_optimal_opts(args, opts.selector == Selector::bic, method));
    opts.seed = flags.seed;
    opts.n_folds = parsed->n_folds;
    if (method) opts.diagnostic = parsed->test;
    opts.pre_standardized = flags.pre_standardized;
    opts.verbose = flags.verbose;

    VELTRA_TRY(out, from_core(keep ? veltra::spls1_find_k_optimal(X, y, k_max, *keep, weights, opts)
                                   : veltra::pls1_find_k_optimal(X, y, k_max, weights, opts)));
    if (require_component && out->k_star == 0)
        return from_core(fail(VeltraError::OptimalNoComponent{}));
    std::optional<Record> warning =
        rerouted(diagnostic ? std::optional<std::string_view>(*diagnostic) : std::nullopt,
                 out->diagnostic ? std::optional<std::string_view>(*out->diagnostic) : std::nullopt,
                 rerouted_n_perm, out->stable_rank, out->n_eff);
    return Searched{out->k_star, find_k_optimal(*out), std::move(warning)};
}

BindResult<Searched> sequence_core(MatView X, VecView y, std::optional<VecView> weights,
                                   std::uint64_t k_max, std::optional<std::uint64_t> keep,
                                   std::string_view test_method, std::optional<double> alpha,
                                   const OptionRecord& args, const RunFlags& flags,
                                   bool require_rejection) {
    FindKSequenceOpts opts;
    VELTRA_TRY(test, sequence_args(test_method, args));
    opts.test = *test;
    opts.alpha = alpha.value_or(opts.alpha);
    opts.seed = flags.seed;
    opts.pre_standardized = flags.pre_standardized;
    opts.verbose = flags.verbose;

    VELTRA_TRY(out, from_core(keep ? veltra::spls1_find_k_sequence(X, y, k_max, *keep, weights, opts)
                                   : veltra::pls1_find_k_sequence(X, y, k_max, weights, opts)));
    if (require_rejection && out->k_star == 0)
        return from_core(fail(VeltraError::SequenceNoRejection{out->alpha}));
    std::optional<Record> warning =
        rerouted(test_method, out->test_method, rerouted_n_perm, out->stable_rank, out->n_eff);
    return Searched{out->k_star, find_k_sequence(*out), std::move(warning)};
}

BindResult<CallOutput> optimal_entry(Inputs& in, bool sparse) {
    VELTRA_TRY(s, read_search(in, sparse, true));
    VELTRA_TRY(found, optimal_core(s->X.as_mat(), s->y.view(), view_of(s->weights), s->k_max,
                                   s->keep, s->method, s->diagnostic, s->args, s->flags, false));
    return with_warning(std::move(found->record), std::move(found->warning));
}

BindResult<CallOutput> sequence_entry(Inputs& in, bool sparse) {
    VELTRA_TRY(s, read_search(in, sparse, false));
    VELTRA_TRY(found, sequence_core(s->X.as_mat(), s->y.view(), view_of(s->weights), s->k_max,
                                    s->keep, s->method, s->alpha, s->args, s->flags, false));
    return with_warning(std::move(found->record), std::move(found->warning));
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
    const RunFlags flags{pre_standardized, seed, false};
    const bool sequence = mode == "sequence";
    if (!sequence && mode != "optimal")
        return std::unexpected(BindError::invalid_argument("unknown k mode " + quoted +
                                                           "; use int, 'optimal', or 'sequence'"));
    VELTRA_TRY(fka, read_find_k_args(find_k_args, sequence));
    // Without a method the mode runs its search's own default.
    const std::string chosen =
        fka->method.value_or(std::string(sequence ? method_name(FindKSequenceOpts{}.test.method)
                                                  : selector_name(FindKOpts{}.selector)));
    VELTRA_TRY(found, sequence ? sequence_core(X, y, weights, *k_max, std::nullopt, chosen,
                                               fka->alpha, fka->args, flags, true)
                               : optimal_core(X, y, weights, *k_max, std::nullopt, chosen,
                                              fka->diagnostic, fka->args, flags, true));
    return selected(std::move(*found));
}

}  // namespace veltra::bind::fns
