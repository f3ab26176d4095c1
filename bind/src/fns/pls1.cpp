// Adapters of preprocess and of the PLS1 functions. Inputs reach the engine
// as views of the values taken from Inputs, which stay alive until the engine
// returns; only results are copied.
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "fns/fns.hpp"
#include "veltra/bind/coerce.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/preprocess.hpp"

namespace veltra::bind::fns {

Record put_x(Record record, const std::optional<Standardized>& x) {
    if (!x)
        return std::move(record).field("X_std", Value()).field("X_mean", Value()).field("X_scale", Value());
    return std::move(record)
        .field("X_std", owned_mat(x->x_std))
        .field("X_mean", owned_vec(x->mean))
        .field("X_scale", owned_vec(x->scale));
}

BindResult<CallOutput> preprocess(Inputs& in) {
    auto X = in.opt_mat("X");
    if (!X) return std::unexpected(std::move(X.error()));
    Value Y = in.take("Y");
    auto weights = in.opt_vec("weights");
    if (!weights) return std::unexpected(std::move(weights.error()));
    if (auto ok = in.finish(); !ok) return std::unexpected(std::move(ok.error()));

    const bool block = Y.kind() == Kind::Mat;
    Result<PreprocessOutput> out = fail(VeltraError::Internal{"preprocess did not run"});
    if (Y.is_none()) {
        out = veltra::preprocess(view_of(*X), std::nullopt, view_of(*weights));
    } else if (block) {
        out = veltra::preprocess_block(view_of(*X), Y.get_if<MatF64>()->as_mat(), view_of(*weights));
    } else {
        auto y = to_vec(std::move(Y));
        if (!y) return std::unexpected(BindError::invalid_argument("Y " + y.error()));
        out = veltra::preprocess(view_of(*X), y->view(), view_of(*weights));
    }
    if (!out) return std::unexpected(BindError::from_core(std::move(out.error())));
    if (block) internal_check(out->Y.has_value(), "Y was passed");

    Record result = put_x(Record::typed("PreprocessResult"), out->X);
    if (!out->Y) {
        result = std::move(result).field("Y_std", Value()).field("Y_mean", Value()).field("Y_scale", Value());
    } else if (const auto* y = std::get_if<Standardized1>(&*out->Y)) {
        result = std::move(result)
                     .field("Y_std", owned_vec(y->y_std))
                     .field("Y_mean", Value::real(y->mean))
                     .field("Y_scale", Value::real(y->scale));
    } else {
        const auto& Ys = std::get<Standardized>(*out->Y);
        result = std::move(result)
                     .field("Y_std", owned_mat(Ys.x_std))
                     .field("Y_mean", owned_vec(Ys.mean))
                     .field("Y_scale", owned_vec(Ys.scale));
    }
    result = std::move(result)
                 .field("weights_normalized",
                        out->weights_normalized ? owned_vec(*out->weights_normalized) : Value())
                 .field("n_eff", out->n_eff ? Value::real(*out->n_eff) : Value());
    return CallOutput{Value(std::move(result)), {}};
}

BindResult<CallOutput> pls1_fit(Inputs& in) { return not_available(in); }
BindResult<CallOutput> pls1_predict(Inputs& in) { return not_available(in); }
BindResult<CallOutput> spls1_fit(Inputs& in) { return not_available(in); }

}  // namespace veltra::bind::fns
