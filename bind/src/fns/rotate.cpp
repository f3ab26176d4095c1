#include "fns/fns.hpp"

namespace veltra::bind::fns {

BindResult<CallOutput> rotate(Inputs& in) { return not_available(in); }

}  // namespace veltra::bind::fns
