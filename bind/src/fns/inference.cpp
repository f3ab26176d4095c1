#include "fns/fns.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/bind/result_types.hpp"
#include "veltra/bind/warn.hpp"
#include "veltra/resample/confirmatory_test.hpp"
#include "veltra/resample/gate.hpp"
#include "veltra/resample/perm_alpha.hpp"
#include "veltra/resample/perm_null.hpp"
#include "veltra/resample/pls3_signal_test.hpp"

namespace veltra::bind::fns {

using namespace veltra::resample;
using namespace veltra::select;

namespace {

// A confirmatory test's record with the warning of a rerouted request.
CallOutput tested(std::string_view requested, ConfirmatoryTestOutput&& out) {
    std::optional<Record> warning =
        rerouted(requested, out.test_method, out.n_perm, out.stable_rank, out.n_eff);
    return with_warning(confirmatory_test(std::move(out)), std::move(warning));
}

}  // namespace

BindResult<CallOutput> pls1_confirmatory_test(Inputs& in) {
    VELTRA_TRY(data, read_pls1_data(in));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(test_method, in.string("test_method"));
    VELTRA_TRY(args, in.opt_record("args"));
    VELTRA_TRY(ci, in.boolean("ci"));
    VELTRA_TRY(subsample, read_subsample_size(in));
    VELTRA_TRY(max_failure_rate, in.opt_f64("max_failure_rate"));
    VELTRA_TRY(flags, read_run_flags(in));  // verbose is type-checked; the test prints nothing
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_TRY(max_skip_rate, in.opt_f64("max_skip_rate"));
    VELTRA_CHECK(in.finish());

    subsample->max_failure_rate = *max_failure_rate;
    subsample->max_skip_rate = *max_skip_rate;
    ConfirmatoryOpts opts;
    // Without ci the interval values were only type-checked: nothing reads them.
    if (*ci) opts.ci = subsample->opts();
    VELTRA_TRY(test, confirmatory_args(*test_method, *args));
    opts.test = *test;
    opts.seed = flags->seed;
    opts.pre_standardized = flags->pre_standardized;

    VELTRA_TRY(out, from_core(resample::pls1_confirmatory_test(data->X.as_mat(), data->y.view(), *k,
                                                             view_of(*weights), opts)));
    return tested(*test_method, std::move(*out));
}

BindResult<CallOutput> split_nb_gate(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    VELTRA_TRY(gate, from_core(resample::split_nb_gate(X->as_mat(), view_of(*weights))));
    return CallOutput{Value(result_record("SplitNbGateResult", Value::boolean(gate->fires),
                                          Value::real(gate->stable_rank),
                                          Value::real(gate->n_eff))),
                      {}};
}

BindResult<CallOutput> pls1_perm_null(Inputs& in) {
    VELTRA_TRY(data, read_pls1_data(in));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(n_perm, in.opt_usize("n_perm"));
    VELTRA_TRY(return_perm_matrix, in.boolean("return_perm_matrix"));
    VELTRA_TRY(flags, read_run_flags(in));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    const PermNullOpts opts{n_perm->value_or(PermNullOpts{}.n_perm), *return_perm_matrix,
                            flags->pre_standardized, flags->verbose};
    VELTRA_TRY(out, from_core(resample::pls1_perm_null(data->X.as_mat(), data->y.view(), *k,
                                                     view_of(*weights), opts, flags->seed)));
    return CallOutput{perm_null(std::move(*out)), {}};
}

BindResult<CallOutput> pls3_confirmatory_test(Inputs& in) {
    VELTRA_TRY(data, read_pls3_data(in));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(test_method, in.string("test_method"));
    VELTRA_TRY(args, in.opt_record("args"));
    // Read for their types only: the per-split fits standardise every block.
    VELTRA_TRY(pre, read_pls3_flags(in));
    VELTRA_TRY(seed, in.seed("seed"));
    VELTRA_TRY(verbose, in.boolean("verbose"));
    VELTRA_CHECK(in.finish());
    VELTRA_TRY(method, pls3_confirmatory_args(*test_method, *args));

    Pls3ConfirmatoryOpts opts;
    opts.seed = *seed;
    opts.test = *method;
    VELTRA_TRY(out, from_core(resample::pls3_confirmatory_test(data->X.as_mat(), data->Y.as_mat(),
                                                             *k, opts)));
    return tested(*test_method, std::move(*out));
}

BindResult<CallOutput> pls1_perm_alpha(Inputs& in) {
    VELTRA_TRY(gram, in.mat("gram"));
    VELTRA_TRY(Y, in.mat("Y"));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(n_features, in.usize("n_features"));
    VELTRA_CHECK(in.finish());

    VELTRA_TRY(out,
               from_core(resample::pls1_perm_alpha(gram->as_mat(), Y->as_mat(), *k, *n_features)));
    return CallOutput{perm_alpha(std::move(*out)), {}};
}

}  // namespace veltra::bind::fns
