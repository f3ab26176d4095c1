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

using namespace veltra::resample;
using namespace veltra::select;
namespace {

// What the four search entries read, in their order.
struct SearchInputs {
    Pls1Data data;
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
    VELTRA_TRY(data, read_pls1_data(in));
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
    return SearchInputs{std::move(*data), *k_max, keep, std::move(*method),
                        std::move(diagnostic), alpha, std::move(*args), *flags,
                        std::move(*weights)};
}

struct Searched {
    std::uint64_t k_star = 0;
    Record record;
    std::optional<Record> warning;
};

// One search as the two cores run it. The k modes of pls1_fit insist that
// the search found a component; the search entries do not.
struct SearchRequest {
    MatView X;
    VecView y;
    std::optional<VecView> weights;
    std::uint64_t k_max = 0;
    std::optional<std::uint64_t> keep;
    std::string_view method;                        // selector or test_method
    const std::optional<std::string>& diagnostic;  // the optimal search's
    std::optional<double> alpha;                    // the sequential search's
    const OptionRecord& args;
    RunFlags flags;
    bool require_found = false;
};

std::optional<std::string_view> text_of(const std::optional<std::string>& s) {
    return s ? std::optional<std::string_view>(*s) : std::nullopt;
}

BindResult<Searched> optimal_core(const SearchRequest& r) {
    static constexpr std::array selectors = {Selector::r2_se, Selector::r2_max, Selector::bic};
    const auto chosen = std::ranges::find(selectors, r.method, selector_name);
    if (chosen == selectors.end())
        return std::unexpected(
            BindError::invalid_args("unknown selector: " + std::string(r.method)));
    FindKOpts opts = with_flags(FindKOpts{}, r.flags);
    opts.selector = *chosen;
    const std::optional<std::string>& diagnostic = r.diagnostic;
    std::optional<ConfirmatoryMethod> method;
    if (diagnostic) {
        VELTRA_TRY(m, parse_method(*diagnostic));
        method = *m;
    }
    VELTRA_TRY(parsed, find_k_optimal_opts(r.args, opts.selector == Selector::bic, method));
    opts.n_folds = parsed->n_folds;
    if (method) opts.diagnostic = parsed->test;

    auto found = r.keep ? select::spls1_find_k_optimal(r.X, r.y, r.k_max, *r.keep, r.weights, opts)
                        : select::pls1_find_k_optimal(r.X, r.y, r.k_max, r.weights, opts);
    VELTRA_TRY(out, from_core(std::move(found)));
    if (r.require_found && out->k_star == 0)
        return from_core(fail(VeltraError::OptimalNoComponent{}));
    std::optional<Record> warning = rerouted(text_of(diagnostic), text_of(out->diagnostic),
                                             rerouted_n_perm, out->stable_rank, out->n_eff);
    return Searched{out->k_star, find_k_optimal(*out), std::move(warning)};
}

BindResult<Searched> sequence_core(const SearchRequest& r) {
    VELTRA_TRY(test, sequence_args(r.method, r.args));
    FindKSequenceOpts opts = with_flags(FindKSequenceOpts{}, r.flags);
    opts.test = *test;
    opts.alpha = r.alpha.value_or(opts.alpha);

    auto found = r.keep ? select::spls1_find_k_sequence(r.X, r.y, r.k_max, *r.keep, r.weights, opts)
                        : select::pls1_find_k_sequence(r.X, r.y, r.k_max, r.weights, opts);
    VELTRA_TRY(out, from_core(std::move(found)));
    if (r.require_found && out->k_star == 0)
        return from_core(fail(VeltraError::SequenceNoRejection{out->alpha}));
    std::optional<Record> warning =
        rerouted(r.method, out->test_method, rerouted_n_perm, out->stable_rank, out->n_eff);
    return Searched{out->k_star, find_k_sequence(*out), std::move(warning)};
}

BindResult<CallOutput> search_entry(Inputs& in, bool sparse, bool optimal) {
    VELTRA_TRY(s, read_search(in, sparse, optimal));
    const SearchRequest request{s->data.X.as_mat(), s->data.y.view(), view_of(s->weights),
                                s->k_max,           s->keep,           s->method,
                                s->diagnostic,      s->alpha,          s->args,
                                s->flags};
    VELTRA_TRY(found, optimal ? optimal_core(request) : sequence_core(request));
    return with_warning(std::move(found->record), std::move(found->warning));
}

SelectedK selected(Searched&& found) {
    SelectedK out{found.k_star, Value(std::move(found.record)), {}};
    if (found.warning) out.warnings.push_back(std::move(*found.warning));
    return out;
}

}  // namespace

BindResult<CallOutput> pls1_find_k_optimal(Inputs& in) { return search_entry(in, false, true); }
BindResult<CallOutput> spls1_find_k_optimal(Inputs& in) { return search_entry(in, true, true); }
BindResult<CallOutput> pls1_find_k_sequence(Inputs& in) { return search_entry(in, false, false); }
BindResult<CallOutput> spls1_find_k_sequence(Inputs& in) { return search_entry(in, true, false); }

BindResult<SelectedK> select_k(MatView X, VecView y, std::optional<VecView> weights,
                               std::string_view mode, std::optional<std::uint64_t> k_max,
                               std::optional<Record> find_k_args, bool pre_standardized,
                               std::optional<std::uint64_t> seed) {
    // Appended, not concatenated: GCC 12 warns (-Wrestrict) on "'" + string here.
    std::string quoted = "'";
    quoted.append(mode).append("'");
    if (!k_max)
        return std::unexpected(BindError::invalid_argument("k=" + quoted + " requires k_max"));
    const bool sequence = mode == "sequence";
    if (!sequence && mode != "optimal")
        return std::unexpected(BindError::invalid_argument("unknown k mode " + quoted +
                                                           "; use int, 'optimal', or 'sequence'"));
    VELTRA_TRY(fka, read_find_k_args(find_k_args, sequence));
    // Without a method the mode runs its search's own default.
    const std::string chosen =
        fka->method.value_or(std::string(sequence ? method_name(FindKSequenceOpts{}.test.method)
                                                  : selector_name(FindKOpts{}.selector)));
    const SearchRequest request{X,      y,          weights,         *k_max,
                                std::nullopt, chosen, fka->diagnostic, fka->alpha,
                                fka->args,    RunFlags{pre_standardized, seed, false}, true};
    VELTRA_TRY(found, sequence ? sequence_core(request) : optimal_core(request));
    return selected(std::move(*found));
}

}  // namespace veltra::bind::fns
