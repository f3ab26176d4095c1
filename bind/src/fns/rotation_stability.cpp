// The adapter of pls1_rotation_stability: every range and shape check
// belongs to the core; the adapter checks types, the rotation method and
// the varimax options.
#include <string>
#include <utility>

#include "fns/fns.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/select/rotation_stability.hpp"

namespace veltra::bind::fns {

using namespace veltra::resample;
using namespace veltra::select;

BindResult<CallOutput> pls1_rotation_stability(Inputs& in) {
    VELTRA_TRY(data, read_pls1_data(in));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(method, in.string("rotation_method"));
    VELTRA_TRY(rotation_args, in.opt_record("rotation_args"));
    VELTRA_TRY(L, in.opt_mat("L"));
    VELTRA_TRY(subsample, read_subsample_size(in));
    VELTRA_TRY(flags, read_run_flags(in));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_TRY(max_skip_rate, in.opt_f64("max_skip_rate"));
    VELTRA_CHECK(in.finish());

    // This function words the refusal in its own way, unlike rotate.
    if (*method != "varimax")
        return std::unexpected(BindError{"rotation_method '" + *method +
                                             "' not implemented in v0.x",
                                         Record(), "rotation_method_not_implemented"});
    VELTRA_TRY(varimax, varimax_args(*rotation_args));

    subsample->max_skip_rate = *max_skip_rate;
    RotationStabilityOpts opts = with_flags(RotationStabilityOpts{}, *flags);
    opts.subsample = subsample->opts();
    VELTRA_TRY(out, from_core(select::pls1_rotation_stability(data->X.as_mat(), data->y.view(), *k,
                                                              *varimax, view_of(*L),
                                                              view_of(*weights), opts)));
    return CallOutput{rotation_stability(std::move(*out)), {}};
}

}  // namespace veltra::bind::fns
