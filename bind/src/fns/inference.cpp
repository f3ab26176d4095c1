#include "fns/fns.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/resample/perm_alpha.hpp"

namespace veltra::bind::fns {

BindResult<CallOutput> pls1_confirmatory_test(Inputs& in) { return not_available(in); }
BindResult<CallOutput> split_nb_gate(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_perm_null(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls3_confirmatory_test(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_perm_alpha(Inputs& in) {
    VELTRA_TRY(gram, in.mat("gram"));
    VELTRA_TRY(Y, in.mat("Y"));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(n_features, in.usize("n_features"));
    VELTRA_CHECK(in.finish());
    auto out = veltra::pls1_perm_alpha(gram->as_mat(), Y->as_mat(), *k, *n_features);
    if (!out) return std::unexpected(BindError::from_core(std::move(out.error())));
    return CallOutput{perm_alpha(std::move(*out)), {}};
}
BindResult<CallOutput> pls1_rotation_stability(Inputs& in) { return not_available(in); }

}  // namespace veltra::bind::fns
