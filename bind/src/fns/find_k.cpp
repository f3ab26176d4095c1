#include "fns/fns.hpp"

namespace veltra::bind::fns {

BindResult<CallOutput> pls1_find_k_optimal(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_find_k_sequence(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls1_find_keep_optimal(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls1_find_k_optimal(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls1_find_k_sequence(Inputs& in) { return not_available(in); }

}  // namespace veltra::bind::fns
