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
#include "veltra/bind/result_types.hpp"
#include "veltra/fit.hpp"
#include "veltra/predict.hpp"
#include "veltra/preprocess.hpp"

namespace veltra::bind::fns {

using namespace veltra::resample;
using namespace veltra::select;

namespace {

// The standardised block, its means and its scales: three fields of a
// PreprocessResult, null without the block.
struct BlockFields {
    Value standardized, mean, scale;
};

BlockFields block_fields(std::optional<Standardized> s) {
    if (!s) return {};
    return {owned_mat(std::move(s->x_std)), owned_vec(s->mean), owned_vec(s->scale)};
}

// A response vector has a real mean and scale, a response matrix vectors.
BlockFields response_fields(std::optional<std::variant<Standardized1, Standardized>> y) {
    if (!y) return {};
    if (const auto* v = std::get_if<Standardized1>(&*y))
        return {owned_vec(v->y_std), Value::real(v->mean), Value::real(v->scale)};
    return block_fields(std::get<Standardized>(std::move(*y)));
}

// The fit options of pls1_fit and spls1_fit (keep is the sparse entry's).
FitOpts fit_opts(bool pre_standardized) {
    return FitOpts{std::nullopt, pre_standardized, true, par_parallel};
}

}  // namespace

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
    VELTRA_TRY(done, from_core(std::move(out)));
    if (block) internal_check(done->Y.has_value(), "Y was passed");

    auto [X_std, X_mean, X_scale] = block_fields(std::move(done->X));
    auto [Y_std, Y_mean, Y_scale] = response_fields(std::move(done->Y));
    Value weights_normalized =
        done->weights_normalized ? owned_vec(*done->weights_normalized) : Value();
    Value n_eff = done->n_eff ? Value::real(*done->n_eff) : Value();
    return CallOutput{Value(result_record("PreprocessResult", std::move(X_std), std::move(X_mean),
                                          std::move(X_scale), std::move(Y_std), std::move(Y_mean),
                                          std::move(Y_scale), std::move(weights_normalized),
                                          std::move(n_eff))),
                      {}};
}

BindResult<CallOutput> pls1_fit(Inputs& in) {
    VELTRA_TRY(data, read_pls1_data(in));
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
        VELTRA_TRY(chosen, select_k(data->X.as_mat(), data->y.view(), view_of(*weights),
                                    mode->view(), *k_max, std::move(*find_k_args),
                                    *pre_standardized, *seed));
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

    VELTRA_TRY(model, from_core(veltra::pls1_fit(data->X.as_mat(), data->y.view(), k,
                                                 view_of(*weights), fit_opts(*pre_standardized))));
    return CallOutput{pls1_model(std::move(*model), Value(), std::move(selection)), std::move(warnings)};
}

BindResult<CallOutput> spls1_fit(Inputs& in) {
    VELTRA_TRY(data, read_pls1_data(in));
    VELTRA_TRY(k, in.usize("k"));
    VELTRA_TRY(keep, in.usize("keep"));
    VELTRA_TRY(pre_standardized, in.boolean("pre_standardized"));
    VELTRA_TRY(weights, in.opt_vec("weights"));
    VELTRA_CHECK(in.finish());

    // The engine entry puts keep into the options and checks it.
    VELTRA_TRY(model, from_core(veltra::spls1_fit(data->X.as_mat(), data->y.view(), *k, *keep,
                                                  view_of(*weights), fit_opts(*pre_standardized))));
    return CallOutput{pls1_model(std::move(*model), Value(), Value()), {}};
}

BindResult<CallOutput> pls1_predict(Inputs& in) {
    Value model_value = in.take("model");
    VELTRA_TRY(X_new, in.mat("X_new"));
    VELTRA_CHECK(in.finish());

    VELTRA_TRY(record, model_record(std::move(model_value), "PLS1Result", "model"));
    VELTRA_TRY(model, pls1_model_from_record(record->fields()));
    VELTRA_TRY(predicted, from_core(veltra::pls1_predict(*model, X_new->as_mat())));
    return CallOutput{owned_vec(*predicted), {}};
}

}  // namespace veltra::bind::fns
