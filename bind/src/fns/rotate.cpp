// The adapter of rotate: varimax of a bare weight matrix, or of a fitted
// PLS1 model whose scores, loadings and y-loadings are then turned by the
// same rotation.
#include <optional>
#include <string>
#include <utility>

#include "fns/fns.hpp"
#include "veltra/bind/coerce.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/rotate.hpp"

namespace veltra::bind::fns {

namespace {

struct RotatedArray {
    Eigen::MatrixXd W_rot;
    Eigen::MatrixXd R;
    Record spec;  // RotationSpec
};

// The options that were used, as a plain record.
Record used_args(const VarimaxOpts& opts) {
    return Record()
        .field("max_iter", Value::count(opts.max_iter))
        .field("tol", Value::real(opts.tol))
        .field("kaiser_normalize", Value::boolean(opts.kaiser_normalize));
}

BindResult<RotatedArray> rotate_array(MatView W, const std::string& method,
                                      std::optional<MatView> L, const OptionRecord& args) {
    if (method != "varimax")
        return std::unexpected(
            BindError::from_core(VeltraError::RotationMethodNotImplemented{method}));
    auto opts = varimax_args(args);
    if (!opts) return std::unexpected(std::move(opts.error()));
    auto out = veltra::rotate(W, *opts, L);
    if (!out) return std::unexpected(BindError::from_core(std::move(out.error())));

    Record spec = Record::typed("RotationSpec")
                      .field("method", Value::string(method))
                      .field("args", Value(used_args(*opts)))
                      .field("R", owned_mat(out->R))
                      .field("sweeps", Value::count(out->sweeps))
                      .field("V_converged", Value::real(out->V_converged))
                      .field("L_was_provided", Value::boolean(L.has_value()));
    return RotatedArray{std::move(out->W_rot), std::move(out->R), std::move(spec)};
}

BindResult<Value> rotate_model(Record record, const std::string& method, std::optional<MatView> L,
                               const OptionRecord& args) {
    (void)record;
    (void)method;
    (void)L;
    (void)args;
    return std::unexpected(BindError::internal("rotate of a PLS1Result is not available yet"));
}

}  // namespace

BindResult<CallOutput> rotate(Inputs& in) {
    Value first = in.take("model_or_W");
    auto method = in.string("method");
    if (!method) return std::unexpected(std::move(method.error()));
    auto L = in.opt_mat("L");
    if (!L) return std::unexpected(std::move(L.error()));
    auto args = in.opt_record("args");
    if (!args) return std::unexpected(std::move(args.error()));
    if (auto ok = in.finish(); !ok) return std::unexpected(std::move(ok.error()));

    std::optional<MatView> L_view;
    if (*L) L_view = (*L)->as_mat();

    if (const auto* W = first.get_if<MatF64>()) {
        auto rotated = rotate_array(W->as_mat(), *method, L_view, *args);
        if (!rotated) return std::unexpected(std::move(rotated.error()));
        Record result = Record::typed("RotateResult")
                            .field("W_rot", owned_mat(rotated->W_rot))
                            .field("spec", Value(std::move(rotated->spec)));
        return CallOutput{Value(std::move(result)), {}};
    }
    if (first.kind() == Kind::Record) {
        auto record = model_record(std::move(first), "PLS1Result", "rotate() first arg");
        if (!record) return std::unexpected(std::move(record.error()));
        auto model = rotate_model(std::move(*record), *method, L_view, *args);
        if (!model) return std::unexpected(std::move(model.error()));
        return CallOutput{std::move(*model), {}};
    }
    return std::unexpected(BindError::invalid_argument(
        "rotate() first arg must be a PLS1Result or a matrix, got " + describe(first)));
}

}  // namespace veltra::bind::fns
