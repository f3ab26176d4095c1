#include "fns/fns.hpp"

namespace veltra::bind::fns {

BindResult<CallOutput> pls1_find_k_optimal(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_find_k_sequence(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls1_find_keep_optimal(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls1_find_k_optimal(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls1_find_k_sequence(Inputs& in) { return not_available(in); }

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
