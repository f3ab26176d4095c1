// Adapters of preprocess and of the PLS1 functions. Inputs reach the engine
// as views of the values taken from Inputs, which stay alive until the engine
// returns; only results are copied.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "fns/fns.hpp"
#include "veltra/bind/coerce.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/fit.hpp"
#include "veltra/predict.hpp"
#include "veltra/preprocess.hpp"

namespace veltra::bind::fns {

Record put_x(Record record, std::optional<Standardized> x) {
    if (!x)
        return std::move(record)
            .field("X_std", Value())
            .field("X_mean", Value())
            .field("X_scale", Value());
    return std::move(record)
        .field("X_std", owned_mat(std::move(x->x_std)))
        .field("X_mean", owned_vec(x->mean))
        .field("X_scale", owned_vec(x->scale));
}

BindResult<CallOutput> preprocess(Inputs& in) {
    VELTRA_TRY(X, in.opt_mat("X"));
    Value Y = in.take("Y");
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    // A matrix Y takes the block form; anything else but null is a vector.
    const bool block = Y.kind() == Kind::Mat;
    std::optional<VecF64> y;
    if (!block && !Y.is_none()) {
        auto converted = to_vec(std::move(Y));
        if (!converted)
            return std::unexpected(BindError::invalid_argument("Y " + converted.error()));
        y = std::move(*converted);
    }
    auto out = block ? veltra::preprocess_block(view_of(*X), Y.get_if<MatF64>()->as_mat(),
                                                view_of(*weights))
                     : veltra::preprocess(view_of(*X), view_of(y), view_of(*weights));
    if (!out) return std::unexpected(BindError::from_core(std::move(out.error())));
    if (block) internal_check(out->Y.has_value(), "Y was passed");

    Record result = put_x(Record::typed("PreprocessResult"), std::move(out->X));
    if (!out->Y) {
        result = std::move(result)
                     .field("Y_std", Value())
                     .field("Y_mean", Value())
                     .field("Y_scale", Value());
    } else if (const auto* y = std::get_if<Standardized1>(&*out->Y)) {
        result = std::move(result)
                     .field("Y_std", owned_vec(y->y_std))
                     .field("Y_mean", Value::real(y->mean))
                     .field("Y_scale", Value::real(y->scale));
    } else {
        auto& Ys = std::get<Standardized>(*out->Y);
        result = std::move(result)
                     .field("Y_std", owned_mat(std::move(Ys.x_std)))
                     .field("Y_mean", owned_vec(Ys.mean))
                     .field("Y_scale", owned_vec(Ys.scale));
    }
    result = std::move(result)
                 .field("weights_normalized",
                        out->weights_normalized ? owned_vec(*out->weights_normalized) : Value())
                 .field("n_eff", out->n_eff ? Value::real(*out->n_eff) : Value());
    return CallOutput{Value(std::move(result)), {}};
}

BindResult<CallOutput> pls1_fit(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(y, in.vec("y"));
    Value k_value = in.take("k");
    VELTRA_TRY(k_max, in.opt_usize("k_max"));
    VELTRA_TRY(find_k_args, in.opt_record("find_k_args"));
    VELTRA_TRY(pre_standardized, in.boolean("pre_standardized"));
    VELTRA_TRY(seed, in.seed("seed"));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    std::uint64_t k = 0;
    Value selection;
    std::vector<Record> warnings;
    if (const Str* mode = k_value.get_if<Str>()) {
        VELTRA_TRY(chosen, select_k(X->as_mat(), y->view(), view_of(*weights), mode->view(),
                                    *k_max, std::move(*find_k_args), *pre_standardized, *seed));
        k = chosen->k;
        selection = std::move(chosen->selection);
        warnings = std::move(chosen->warnings);
    } else {
        if (*k_max || *find_k_args)
            return std::unexpected(BindError::invalid_argument(
                "k_max and find_k_args apply only when k is 'optimal' or 'sequence'"));
        auto count = to_usize(k_value);
        if (!count) return std::unexpected(BindError::invalid_argument("k " + count.error()));
        // The seed only drives the k searches; a plain fit has no randomness.
        k = *count;
    }

    const FitOpts opts{std::nullopt, *pre_standardized, true, par_parallel};
    auto model = veltra::pls1_fit(X->as_mat(), y->view(), k, view_of(*weights), opts);
    if (!model) return std::unexpected(BindError::from_core(model.error()));
    return CallOutput{pls1_model(std::move(*model), Value(), std::move(selection)), std::move(warnings)};
}

BindResult<CallOutput> spls1_fit(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(y, in.vec("y"));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(keep, in.usize("keep"));
    VELTRA_TRY(pre_standardized, in.boolean("pre_standardized"));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    // The engine entry puts keep into the options and checks it.
    const FitOpts opts{std::nullopt, *pre_standardized, true, par_parallel};
    auto model = veltra::spls1_fit(X->as_mat(), y->view(), *k, *keep, view_of(*weights), opts);
    if (!model) return std::unexpected(BindError::from_core(model.error()));
    return CallOutput{pls1_model(std::move(*model), Value(), Value()), {}};
}

BindResult<CallOutput> pls1_predict(Inputs& in) {
    Value model_value = in.take("model");
    VELTRA_TRY(X_new, in.mat("X_new"));
    VELTRA_CHECK(in.finish());

    VELTRA_TRY(record, model_record(std::move(model_value), "PLS1Result", "model"));
    VELTRA_TRY(model, pls1_model_from_record(record->fields()));
    const auto predicted = veltra::pls1_predict(*model, X_new->as_mat());
    if (!predicted) return std::unexpected(BindError::from_core(predicted.error()));
    return CallOutput{owned_vec(*predicted), {}};
}

}  // namespace veltra::bind::fns
