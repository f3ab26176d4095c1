#include "fns/fns.hpp"

namespace veltra::bind::fns {

BindResult<CallOutput> preprocess(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_fit(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_predict(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls1_fit(Inputs& in) { return not_available(in); }

}  // namespace veltra::bind::fns
