#include "fns/fns.hpp"

namespace veltra::bind::fns {

BindResult<CallOutput> pls1_confirmatory_test(Inputs& in) { return not_available(in); }
BindResult<CallOutput> split_nb_gate(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_perm_null(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls3_confirmatory_test(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_perm_alpha(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_rotation_stability(Inputs& in) { return not_available(in); }

}  // namespace veltra::bind::fns
