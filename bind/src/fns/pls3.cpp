// Adapters of the two-block functions. pls3_fit also serves plssvd_fit and
// pls3_transform also serves plssvd_transform: the adapters never look at
// the name they were called under. Inputs reach the engine as views of the
// values taken from Inputs, which stay alive until the engine returns.
#include <optional>
#include <string>
#include <utility>

#include "fns/fns.hpp"
#include "veltra/bind/coerce.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/pls3.hpp"

namespace veltra::bind::fns {

using namespace veltra::resample;
using namespace veltra::select;

namespace {

BindResult<CallOutput> fitted(Result<Pls3Model> fit) {
    VELTRA_TRY(model, from_core(std::move(fit)));
    return CallOutput{pls3_model(std::move(*model)), {}};
}

Pls3FitOpts fit_opts(const Pls3Flags& pre) {
    Pls3FitOpts opts;
    opts.pre_standardized_X = pre.pre_standardized_X;
    opts.pre_standardized_Y = pre.pre_standardized_Y;
    return opts;
}

}  // namespace

BindResult<MatF64> pls3_y(Inputs& in) {
    Value y = in.take("Y");
    if (y.kind() == Kind::Vec || y.kind() == Kind::IntVec)
        return std::unexpected(BindError::invalid_argument(
            "Y must be 2-D, got 1-D. A single-column outcome is a PLS1 problem \u2014 use "
            "pls1_fit."));
    auto m = to_mat(std::move(y));
    if (!m) return std::unexpected(BindError::invalid_argument("Y " + m.error()));
    return std::move(*m);
}

BindResult<CallOutput> pls3_fit(Inputs& in) {
    VELTRA_TRY(data, read_pls3_data(in));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(pre, read_pls3_flags(in));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    return fitted(veltra::pls3_fit(data->X.as_mat(), data->Y.as_mat(), *k, view_of(*weights),
                                   fit_opts(*pre)));
}

BindResult<CallOutput> spls3_fit(Inputs& in) {
    VELTRA_TRY(data, read_pls3_data(in));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(keep_x, in.usize("keep_X"));
    VELTRA_TRY(keep_y, in.usize("keep_Y"));
    VELTRA_TRY(pre, read_pls3_flags(in));
    VELTRA_TRY(max_iter, in.opt_usize("max_iter"));
    VELTRA_TRY(tol, in.opt_f64("tol"));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    // A max_iter of 0 or a bad tol is the engine's to judge: it matters only
    // when a keep count selects fewer than all columns.
    Pls3FitOpts opts = fit_opts(*pre);
    opts.max_iter = max_iter->value_or(opts.max_iter);
    opts.tol = tol->value_or(opts.tol);
    return fitted(veltra::spls3_fit(data->X.as_mat(), data->Y.as_mat(), *k, *keep_x, *keep_y,
                                    view_of(*weights), opts));
}

BindResult<CallOutput> pls3_transform(Inputs& in) {
    Value model_value = in.take("model");
    VELTRA_TRY(X_new, in.opt_mat("X_new"));
    VELTRA_TRY(Y_new, in.opt_mat("Y_new"));
    VELTRA_TRY(which_text, in.string("which"));
    VELTRA_CHECK(in.finish());

    VELTRA_TRY(record, model_record(std::move(model_value), "PLS3Result", "model"));
    VELTRA_TRY(model, pls3_model_from_record(record->fields()));
    VELTRA_TRY(selection, which(*which_text));

    VELTRA_TRY(scores, from_core(veltra::pls3_transform(*model, view_of(*X_new), view_of(*Y_new),
                                                        *selection)));
    return CallOutput{pls3_scores(std::move(*scores)), {}};
}

}  // namespace veltra::bind::fns
