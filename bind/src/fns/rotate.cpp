// The adapter of rotate: varimax of a bare weight matrix, or of a fitted
// PLS1 model whose scores, loadings and y-loadings are then turned by the
// same rotation.
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fns/fns.hpp"
#include "veltra/bind/coerce.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/bind/result_types.hpp"
#include "veltra/rotate.hpp"

namespace veltra::bind::fns {

using namespace veltra::resample;
using namespace veltra::select;

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

// The method is checked before the options are read.
BindResult<VarimaxOpts> varimax_opts(const std::string& method, const OptionRecord& args) {
    if (method != "varimax")
        return from_core(fail(VeltraError::RotationMethodNotImplemented{method}));
    return varimax_args(args);
}

Record rotation_spec(const std::string& method, const VarimaxOpts& opts, const RotateOutput& out,
                     bool L_was_provided) {
    return result_record("RotationSpec", Value::string(method), Value(used_args(opts)),
                         owned_mat(out.R), Value::count(out.sweeps), Value::real(out.V_converged),
                         Value::boolean(L_was_provided));
}

BindResult<RotatedArray> rotate_array(MatView W, const std::string& method,
                                      std::optional<MatView> L, const OptionRecord& args) {
    VELTRA_TRY(opts, varimax_opts(method, args));
    VELTRA_TRY(out, from_core(veltra::rotate(W, *opts, L)));
    Record spec = rotation_spec(method, *opts, *out, L.has_value());
    return RotatedArray{std::move(out->W_rot), std::move(out->R), std::move(spec)};
}

BindResult<Value> rotate_model(Record record, const std::string& method, std::optional<MatView> L,
                               const OptionRecord& args) {
    if (const Value* spec = record.find("rotation_spec"); spec && !spec->is_none())
        return from_core(fail(VeltraError::AlreadyRotated{}));
    VELTRA_TRY(model, pls1_model_from_record(record.fields()));

    const MatView T = MatView::of(model->T), P = MatView::of(model->P);
    const MatView W = MatView::of(model->W);
    const VecView Q = VecView::of(model->Q);
    // The shapes come before the method and its options are looked at.
    if (auto ok = check_model_shapes(T, P, W, Q); !ok)
        return std::unexpected(
            BindError::invalid_argument(ok.error().as<VeltraError::InvalidArgument>().message));
    VELTRA_TRY(opts, varimax_opts(method, args));
    VELTRA_TRY(rotated, from_core(veltra::rotate_model(T, P, W, Q, *opts, L, par_sequential)));

    // The rotated fields replace the caller's before the rest is made owned,
    // so the replaced arrays are never copied.
    record.set("T", owned_mat(std::move(rotated->T_rot)));
    record.set("P", owned_mat(std::move(rotated->P_rot)));
    record.set("W", owned_mat(std::move(rotated->rotation.W_rot)));
    record.set("Q", owned_vec(rotated->Q_rot));
    record.set("rotation_spec",
               Value(rotation_spec(method, *opts, rotated->rotation, L.has_value())));
    Record updated = std::move(record).into_owned();

    // Exactly the fields of PLS1Result, in their order; the caller's extra
    // fields are dropped and missing optional ones come back null.
    std::vector<Value> fields;
    for (const FieldSpec& f : find_result_type("PLS1Result")->fields) {
        Value* v = updated.find(f.name);
        fields.push_back(v ? std::move(*v) : Value());
    }
    return Value(result_record_of("PLS1Result", fields));
}

}  // namespace

BindResult<CallOutput> rotate(Inputs& in) {
    Value first = in.take("model_or_W");
    VELTRA_TRY(method, in.string("method"));
    VELTRA_TRY(L, in.opt_mat("L"));
    VELTRA_TRY(args, in.opt_record("args"));
    VELTRA_CHECK(in.finish());

    std::optional<MatView> L_view;
    if (*L) L_view = (*L)->as_mat();

    if (const auto* W = first.get_if<MatF64>()) {
        VELTRA_TRY(rotated, rotate_array(W->as_mat(), *method, L_view, *args));
        return CallOutput{Value(result_record("RotateResult", owned_mat(std::move(rotated->W_rot)),
                                              std::move(rotated->spec))),
                          {}};
    }
    if (first.kind() == Kind::Record) {
        VELTRA_TRY(record, model_record(std::move(first), "PLS1Result", "rotate() first arg"));
        VELTRA_TRY(model, rotate_model(std::move(*record), *method, L_view, *args));
        return CallOutput{std::move(*model), {}};
    }
    return std::unexpected(BindError::invalid_argument(
        "rotate() first arg must be a PLS1Result or a matrix, got " + describe(first)));
}

}  // namespace veltra::bind::fns
