#include "fns/fns.hpp"

namespace veltra::bind::fns {

BindResult<CallOutput> pls3_fit(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls3_transform(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls3_fit(Inputs& in) { return not_available(in); }

}  // namespace veltra::bind::fns
