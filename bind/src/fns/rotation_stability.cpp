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

BindResult<CallOutput> pls1_rotation_stability(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(y, in.vec("y"));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(method, in.string("rotation_method"));
    VELTRA_TRY(rotation_args, in.opt_record("rotation_args"));
    VELTRA_TRY(L, in.opt_mat("L"));
    VELTRA_TRY(n_boot, in.opt_usize("n_boot"));
    VELTRA_TRY(m_rate, in.opt_f64("m_rate"));
    VELTRA_TRY(level, in.opt_f64("level"));
    VELTRA_TRY(pre_standardized, in.boolean("pre_standardized"));
    VELTRA_TRY(seed, in.seed("seed"));
    VELTRA_TRY(verbose, in.boolean("verbose"));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_TRY(max_skip_rate, in.opt_f64("max_skip_rate"));
    VELTRA_CHECK(in.finish());

    // This function words the refusal in its own way, unlike rotate.
    if (*method != "varimax")
        return std::unexpected(BindError{"rotation_method '" + *method +
                                             "' not implemented in v0.x",
                                         Record(), "rotation_method_not_implemented"});
    VELTRA_TRY(varimax, varimax_args(*rotation_args));

    RotationStabilityOpts opts;
    opts.seed = *seed;
    opts.n_boot = n_boot->value_or(1000);
    opts.m_rate = m_rate->value_or(0.7);
    opts.level = level->value_or(0.95);
    opts.max_skip_rate = max_skip_rate->value_or(0.01);
    opts.pre_standardized = *pre_standardized;
    opts.verbose = *verbose;
    auto out = veltra::pls1_rotation_stability(X->as_mat(), y->view(), *k, *varimax, view_of(*L),
                                               view_of(*weights), opts);
    if (!out) return std::unexpected(BindError::from_core(std::move(out.error())));
    return CallOutput{rotation_stability(std::move(*out)), {}};
}

}  // namespace veltra::bind::fns
