#include "fns/fns.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/select/find_k.hpp"

namespace veltra::bind::fns {

using namespace veltra::resample;
using namespace veltra::select;

BindResult<CallOutput> spls1_find_keep_optimal(Inputs& in) {
    VELTRA_TRY(data, read_pls1_data(in));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(args, in.opt_record("args"));
    VELTRA_TRY(seed, in.seed("seed"));
    VELTRA_TRY(verbose, in.boolean("verbose"));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    VELTRA_TRY(n_folds, keep_optimal_opts(*args));
    VELTRA_TRY(out, from_core(select::spls1_find_keep_optimal(data->X.as_mat(), data->y.view(), *k,
                                                              *n_folds, *seed, *verbose,
                                                              view_of(*weights))));
    return CallOutput{find_keep_optimal(*out), {}};
}

}  // namespace veltra::bind::fns
