#include "fns/fns.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/select/find_k.hpp"

namespace veltra::bind::fns {

BindResult<CallOutput> pls1_find_k_optimal(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_find_k_sequence(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls1_find_k_optimal(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls1_find_k_sequence(Inputs& in) { return not_available(in); }

BindResult<CallOutput> spls1_find_keep_optimal(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(y, in.vec("y"));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(args, in.opt_record("args"));
    VELTRA_TRY(seed, in.seed("seed"));
    VELTRA_TRY(verbose, in.boolean("verbose"));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    VELTRA_TRY(n_folds, keep_optimal_opts(*args));
    const auto out = veltra::spls1_find_keep_optimal(X->as_mat(), y->view(), *k, *n_folds, *seed,
                                                     *verbose, view_of(*weights));
    if (!out) return std::unexpected(BindError::from_core(out.error()));
    return CallOutput{find_keep_optimal(*out), {}};
}

// The checks that do not depend on the searches run as they will; a known
// mode then answers that its search is missing instead of inventing a k.
BindResult<SelectedK> select_k(MatView, VecView, std::optional<VecView>, std::string_view mode,
                               std::optional<std::uint64_t> k_max, std::optional<Record>, bool,
                               std::optional<std::uint64_t>) {
    std::string quoted = "'";
    quoted.append(mode).append("'");
    if (!k_max)
        return std::unexpected(BindError::invalid_argument(std::string("k=").append(quoted).append(
            " requires k_max")));
    if (mode == "optimal" || mode == "sequence")
        return std::unexpected(BindError::internal("pls1_fit with k=\"" + std::string(mode) +
                                                   "\" is not available yet"));
    return std::unexpected(BindError::invalid_argument(
        "unknown k mode " + quoted + "; use int, 'optimal', or 'sequence'"));
}

}  // namespace veltra::bind::fns
