#include "fns/fns.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/bind/warn.hpp"
#include "veltra/resample/confirmatory_test.hpp"
#include "veltra/resample/gate.hpp"
#include "veltra/resample/perm_alpha.hpp"
#include "veltra/resample/pls3_signal_test.hpp"
#include "veltra/resample/perm_null.hpp"

namespace veltra::bind::fns {

BindResult<CallOutput> pls1_confirmatory_test(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(y, in.vec("y"));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(test_method, in.string("test_method"));
    VELTRA_TRY(args, in.opt_record("args"));
    VELTRA_TRY(ci, in.boolean("ci"));
    VELTRA_TRY(n_boot, in.opt_usize("n_boot"));
    VELTRA_TRY(m_rate, in.opt_f64("m_rate"));
    VELTRA_TRY(level, in.opt_f64("level"));
    VELTRA_TRY(max_failure_rate, in.opt_f64("max_failure_rate"));
    VELTRA_TRY(pre_standardized, in.boolean("pre_standardized"));
    VELTRA_TRY(seed, in.seed("seed"));
    VELTRA_TRY(verbose, in.boolean("verbose"));  // type-checked; the test prints nothing
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_TRY(max_skip_rate, in.opt_f64("max_skip_rate"));
    VELTRA_CHECK(in.finish());

    ConfirmatoryOpts opts;
    // Without ci the interval values were only type-checked: nothing reads them.
    if (*ci) {
        const SubsampleOpts defaults;
        opts.ci = SubsampleOpts{n_boot->value_or(defaults.n_boot),
                                m_rate->value_or(defaults.m_rate),
                                level->value_or(defaults.level),
                                max_failure_rate->value_or(defaults.max_failure_rate),
                                max_skip_rate->value_or(defaults.max_skip_rate)};
    }
    VELTRA_TRY(test, confirmatory_args(*test_method, *args));
    opts.test = *test;
    opts.seed = *seed;
    opts.pre_standardized = *pre_standardized;

    auto out = veltra::pls1_confirmatory_test(X->as_mat(), y->view(), *k, view_of(*weights), opts);
    if (!out) return std::unexpected(BindError::from_core(std::move(out.error())));
    std::optional<Record> warning = rerouted(*test_method, out->test_method, out->n_perm,
                                             out->stable_rank, out->n_eff);
    return with_warning(confirmatory_test(std::move(*out)), std::move(warning));
}
BindResult<CallOutput> split_nb_gate(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    const auto gate = veltra::split_nb_gate(X->as_mat(), view_of(*weights));
    if (!gate) return std::unexpected(BindError::from_core(gate.error()));
    Record result = Record::typed("SplitNbGateResult")
                        .field("fires", Value::boolean(gate->fires))
                        .field("stable_rank", Value::real(gate->stable_rank))
                        .field("n_eff", Value::real(gate->n_eff));
    return CallOutput{Value(std::move(result)), {}};
}
BindResult<CallOutput> pls1_perm_null(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(y, in.vec("y"));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(n_perm, in.opt_usize("n_perm"));
    VELTRA_TRY(return_perm_matrix, in.boolean("return_perm_matrix"));
    VELTRA_TRY(pre_standardized, in.boolean("pre_standardized"));
    VELTRA_TRY(seed, in.seed("seed"));
    VELTRA_TRY(verbose, in.boolean("verbose"));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    const PermNullOpts opts{n_perm->value_or(PermNullOpts{}.n_perm), *return_perm_matrix,
                            *pre_standardized, *verbose};
    auto out = veltra::pls1_perm_null(X->as_mat(), y->view(), *k, view_of(*weights), opts, *seed);
    if (!out) return std::unexpected(BindError::from_core(std::move(out.error())));
    return CallOutput{perm_null(std::move(*out)), {}};
}
BindResult<CallOutput> pls3_confirmatory_test(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(Y, pls3_y(in));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(test_method, in.string("test_method"));
    VELTRA_TRY(args, in.opt_record("args"));
    // Read for their types only: the per-split fits standardise every block.
    VELTRA_TRY(pre_x, in.boolean("pre_standardized_X"));
    VELTRA_TRY(pre_y, in.boolean("pre_standardized_Y"));
    VELTRA_TRY(seed, in.seed("seed"));
    VELTRA_TRY(verbose, in.boolean("verbose"));
    VELTRA_CHECK(in.finish());
    VELTRA_TRY(method, pls3_confirmatory_args(*test_method, *args));

    Pls3ConfirmatoryOpts opts;
    opts.seed = *seed;
    opts.test = *method;
    auto out = veltra::pls3_confirmatory_test(X->as_mat(), Y->as_mat(), *k, opts);
    if (!out) return std::unexpected(BindError::from_core(std::move(out.error())));
    std::optional<Record> warning = rerouted(*test_method, out->test_method, out->n_perm,
                                             out->stable_rank, out->n_eff);
    return with_warning(confirmatory_test(std::move(*out)), std::move(warning));
}
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

}  // namespace veltra::bind::fns
