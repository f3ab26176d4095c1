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

namespace {

CallOutput model_output(const Result<Pls3Model>& fit) { return CallOutput{pls3_model(*fit), {}}; }

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
    auto X = in.mat("X");
    if (!X) return std::unexpected(std::move(X.error()));
    auto Y = pls3_y(in);
    if (!Y) return std::unexpected(std::move(Y.error()));
    auto k = in.usize("k");
    if (!k) return std::unexpected(std::move(k.error()));
    auto pre_x = in.boolean("pre_standardized_X");
    if (!pre_x) return std::unexpected(std::move(pre_x.error()));
    auto pre_y = in.boolean("pre_standardized_Y");
    if (!pre_y) return std::unexpected(std::move(pre_y.error()));
    auto weights = in.opt_vec("weights");
    if (!weights) return std::unexpected(std::move(weights.error()));
    if (auto ok = in.finish(); !ok) return std::unexpected(std::move(ok.error()));

    const Pls3FitOpts opts{100, 1e-8, *pre_x, *pre_y, false};
    const auto fit = veltra::pls3_fit(X->as_mat(), Y->as_mat(), *k, view_of(*weights), opts);
    if (!fit) return std::unexpected(BindError::from_core(fit.error()));
    return model_output(fit);
}

BindResult<CallOutput> spls3_fit(Inputs& in) {
    auto X = in.mat("X");
    if (!X) return std::unexpected(std::move(X.error()));
    auto Y = pls3_y(in);
    if (!Y) return std::unexpected(std::move(Y.error()));
    auto k = in.usize("k");
    if (!k) return std::unexpected(std::move(k.error()));
    auto keep_x = in.usize("keep_X");
    if (!keep_x) return std::unexpected(std::move(keep_x.error()));
    auto keep_y = in.usize("keep_Y");
    if (!keep_y) return std::unexpected(std::move(keep_y.error()));
    auto pre_x = in.boolean("pre_standardized_X");
    if (!pre_x) return std::unexpected(std::move(pre_x.error()));
    auto pre_y = in.boolean("pre_standardized_Y");
    if (!pre_y) return std::unexpected(std::move(pre_y.error()));
    auto max_iter = in.opt_usize("max_iter");
    if (!max_iter) return std::unexpected(std::move(max_iter.error()));
    auto tol = in.opt_f64("tol");
    if (!tol) return std::unexpected(std::move(tol.error()));
    auto weights = in.opt_vec("weights");
    if (!weights) return std::unexpected(std::move(weights.error()));
    if (auto ok = in.finish(); !ok) return std::unexpected(std::move(ok.error()));

    // A max_iter of 0 or a bad tol is the engine's to judge: it matters only
    // when a keep count selects fewer than all columns.
    const Pls3FitOpts opts{max_iter->value_or(100), tol->value_or(1e-8), *pre_x, *pre_y, false};
    const auto fit = veltra::spls3_fit(X->as_mat(), Y->as_mat(), *k, *keep_x, *keep_y,
                                       view_of(*weights), opts);
    if (!fit) return std::unexpected(BindError::from_core(fit.error()));
    return model_output(fit);
}

BindResult<CallOutput> pls3_transform(Inputs& in) {
    Value model_value = in.take("model");
    auto X_new = in.opt_mat("X_new");
    if (!X_new) return std::unexpected(std::move(X_new.error()));
    auto Y_new = in.opt_mat("Y_new");
    if (!Y_new) return std::unexpected(std::move(Y_new.error()));
    auto which_text = in.string("which");
    if (!which_text) return std::unexpected(std::move(which_text.error()));
    if (auto ok = in.finish(); !ok) return std::unexpected(std::move(ok.error()));

    auto record = model_record(std::move(model_value), "PLS3Result", "model");
    if (!record) return std::unexpected(std::move(record.error()));
    auto model = pls3_model_from_record(record->fields());
    if (!model) return std::unexpected(std::move(model.error()));
    auto selection = which(*which_text);
    if (!selection) return std::unexpected(std::move(selection.error()));

    const auto scores =
        veltra::pls3_transform(*model, view_of(*X_new), view_of(*Y_new), *selection);
    if (!scores) return std::unexpected(BindError::from_core(scores.error()));
    return CallOutput{pls3_scores(*scores), {}};
}

}  // namespace veltra::bind::fns
