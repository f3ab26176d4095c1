// The adapter of rotate: varimax of a bare weight matrix, or of a fitted
// PLS1 model whose scores, loadings and y-loadings are then turned by the
// same rotation.
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "fns/fns.hpp"
#include "veltra/bind/coerce.hpp"
#include "veltra/bind/convert.hpp"
#include "veltra/bind/methods.hpp"
#include "veltra/bind/result_types.hpp"
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
    VELTRA_TRY(opts, varimax_args(args));
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

// A * B as a new column-major matrix.
Eigen::MatrixXd product(MatView A, MatView B) {
    internal_check(A.cols == B.rows, "product of matrices whose inner sizes differ");
    Eigen::MatrixXd out = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(A.rows),
                                                static_cast<Eigen::Index>(B.cols));
    out.noalias() += A.eigen() * B.eigen();
    return out;
}

std::unexpected<BindError> bad_shape(std::string message) {
    return std::unexpected(BindError::invalid_argument(std::move(message)));
}

BindResult<Value> rotate_model(Record record, const std::string& method, std::optional<MatView> L,
                               const OptionRecord& args) {
    if (const Value* spec = record.find("rotation_spec"); spec && !spec->is_none())
        return std::unexpected(BindError::from_core(VeltraError::AlreadyRotated{}));
    VELTRA_TRY(model, pls1_model_from_record(record.fields()));

    const auto K = static_cast<std::size_t>(model->W.cols());
    const auto p = static_cast<std::size_t>(model->W.rows());
    const auto T_cols = static_cast<std::size_t>(model->T.cols());
    const auto P_cols = static_cast<std::size_t>(model->P.cols());
    const auto P_rows = static_cast<std::size_t>(model->P.rows());
    const auto Q_len = static_cast<std::size_t>(model->Q.size());
    if (T_cols != K)
        return bad_shape("model field 'T' has " + std::to_string(T_cols) + " columns, W has " +
                         std::to_string(K));
    if (P_cols != K)
        return bad_shape("model field 'P' has " + std::to_string(P_cols) + " columns, W has " +
                         std::to_string(K));
    if (P_rows != p)
        return bad_shape("model field 'P' has " + std::to_string(P_rows) + " rows, W has " +
                         std::to_string(p) + " rows");
    if (Q_len != K)
        return bad_shape("model field 'Q' has length " + std::to_string(Q_len) + ", W has " +
                         std::to_string(K));

    VELTRA_TRY(rotated, rotate_array(MatView::of(model->W), method, L, args));
    const MatView R = MatView::of(rotated->R);
    Eigen::MatrixXd T_rot = product(MatView::of(model->T), R);
    Eigen::MatrixXd P_rot = product(MatView::of(model->P), R);
    const Eigen::MatrixXd Q_rot =
        product(R.transposed(), MatView::col_major(model->Q.data(), Q_len, 1));

    // The rotated fields replace the caller's before the rest is made owned,
    // so the replaced arrays are never copied.
    record.set("T", owned_mat(std::move(T_rot)));
    record.set("P", owned_mat(std::move(P_rot)));
    record.set("W", owned_mat(std::move(rotated->W_rot)));
    record.set("Q", owned_vec(Q_rot.col(0)));
    record.set("rotation_spec", Value(std::move(rotated->spec)));
    Record updated = std::move(record).into_owned();

    // Exactly the fields of PLS1Result, in their order; the caller's extra
    // fields are dropped and missing optional ones come back null.
    Record result = Record::typed("PLS1Result");
    for (const FieldSpec& f : find_result_type("PLS1Result")->fields) {
        Value* v = updated.find(f.name);
        result = std::move(result).field(f.name, v ? std::move(*v) : Value());
    }
    return Value(std::move(result));
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
        Record result = Record::typed("RotateResult")
                            .field("W_rot", owned_mat(std::move(rotated->W_rot)))
                            .field("spec", Value(std::move(rotated->spec)));
        return CallOutput{Value(std::move(result)), {}};
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
