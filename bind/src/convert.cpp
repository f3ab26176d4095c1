#include "veltra/bind/convert.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "veltra/bind/coerce.hpp"
#include "veltra/bind/error.hpp"
#include "veltra/bind/result_types.hpp"

namespace veltra::bind {

using namespace veltra::resample;
using namespace veltra::select;

namespace {

Value opt_count(const std::optional<std::uint64_t>& n) { return n ? Value::count(*n) : Value(); }
Value opt_real(const std::optional<double>& x) { return x ? Value::real(*x) : Value(); }
Value opt_vec(const std::optional<Eigen::VectorXd>& v) { return v ? owned_vec(*v) : Value(); }
Value opt_mat(std::optional<Eigen::MatrixXd>&& m) { return m ? owned_mat(std::move(*m)) : Value(); }

// Unsigned counts as an integer vector, each clamped into the signed range.
Value counts(std::span<const std::uint64_t> ns) {
    IntVec out;
    out.reserve(ns.size());
    for (const std::uint64_t n : ns) out.push_back(clamp_count(n));
    return Value(std::move(out));
}

// Reads model fields in the caller's order and stops at the first failure:
// once `error` is set, every later read returns an empty value untouched.
// The record itself is never changed.
class FieldReader {
  public:
    explicit FieldReader(std::span<const Field> fields) : fields_(fields) {}

    std::optional<BindError> error;

    Eigen::MatrixXd mat(std::string_view name) {
        const Value* v = need(name);
        if (!v) return {};
        if (const auto* m = v->get_if<MatF64>()) return m->as_mat().eigen();
        // Only the failure text is wanted from the coercion; the clone keeps
        // the record intact.
        fail_field(name, to_mat(v->clone()).error());
        return {};
    }

    Eigen::VectorXd col(std::string_view name) {
        const Value* v = need(name);
        return v ? col_of(name, *v) : Eigen::VectorXd();
    }

    std::optional<Eigen::VectorXd> opt_col(std::string_view name) {
        const Value* v = find(name);
        if (!v) return std::nullopt;
        Eigen::VectorXd out = col_of(name, *v);
        if (error) return std::nullopt;
        return out;
    }

    double f64(std::string_view name) { return scalar(name, need(name), to_f64); }
    std::uint64_t usize(std::string_view name) { return scalar(name, need(name), to_usize); }
    bool boolean(std::string_view name) { return scalar(name, need(name), to_bool); }

    std::optional<std::uint64_t> opt_usize(std::string_view name) {
        const Value* v = find(name);
        if (!v) return std::nullopt;
        const std::uint64_t n = scalar(name, v, to_usize);
        if (error) return std::nullopt;
        return n;
    }

    // One field into its target, read as the target's type asks.
    void read(std::string_view name, Eigen::MatrixXd& m) { m = mat(name); }
    void read(std::string_view name, Eigen::VectorXd& v) { v = col(name); }
    void read(std::string_view name, std::optional<Eigen::VectorXd>& v) { v = opt_col(name); }
    void read(std::string_view name, double& x) { x = f64(name); }
    void read(std::string_view name, std::uint64_t& n) { n = usize(name); }
    void read(std::string_view name, std::optional<std::uint64_t>& n) { n = opt_usize(name); }
    void read(std::string_view name, bool& b) { b = boolean(name); }

  private:
    // The first field of that name, or null when it is absent or null.
    const Value* find(std::string_view name) const {
        if (error) return nullptr;
        for (const Field& f : fields_)
            if (f.name == name) return f.value.is_none() ? nullptr : &f.value;
        return nullptr;
    }

    const Value* need(std::string_view name) {
        if (error) return nullptr;
        for (const Field& f : fields_) {
            if (f.name != name) continue;
            if (f.value.is_none()) fail("model field '" + std::string(name) + "' is null");
            return error ? nullptr : &f.value;
        }
        fail("model is missing field '" + std::string(name) + "'");
        return nullptr;
    }

    Eigen::VectorXd col_of(std::string_view name, const Value& v) {
        if (const auto* vec = v.get_if<VecF64>()) return vec->view().eigen();
        auto converted = to_vec(v.clone());
        if (!converted) {
            fail_field(name, converted.error());
            return {};
        }
        return converted->view().eigen();
    }

    // A scalar field converted by `convert`; zero or false once failed.
    template <class T>
    T scalar(std::string_view name, const Value* v, Coerced<T> (*convert)(const Value&)) {
        if (!v) return T{};
        auto x = convert(*v);
        if (!x) fail_field(name, x.error());
        return x.value_or(T{});
    }

    void fail(std::string message) { error = BindError::invalid_argument(std::move(message)); }
    void fail_field(std::string_view name, std::string_view text) {
        fail("model field '" + std::string(name) + "' " + std::string(text));
    }

    std::span<const Field> fields_;
};

// Reads a model record's fields into `targets`, named by the row of `type`
// and in its order: fields that hold records (rotation_spec,
// selection_result) are no model fields and are passed over, and the fields
// after the last target (converged, n_iter) are not read. Stops at the
// first failure.
template <class... T>
BindResult<void> read_model(std::span<const Field> fields, std::string_view type, T&... targets) {
    const std::span<const FieldSpec> row = find_result_type(type)->fields;
    std::size_t at = 0;
    const auto next_name = [&] {
        while (at < row.size() && row[at].type.starts_with("record:")) ++at;
        internal_check(at < row.size(), "more model fields than the record type has");
        return row[at++].name;
    };
    FieldReader r(fields);
    (r.read(next_name(), targets), ...);
    if (r.error) return std::unexpected(std::move(*r.error));
    return {};
}

}  // namespace

Value owned_mat(Eigen::MatrixXd m) { return Value(MatF64::adopt(std::move(m))); }

Value owned_vec(const Eigen::VectorXd& v) {
    const auto n = static_cast<std::size_t>(v.size());
    return Value(VecF64::copy_of(std::span<const double>(v.data(), n)));
}

Value pls1_model(Pls1Model model, Value rotation_spec, Value selection_result) {
    return Value(result_record(
        "PLS1Result", owned_mat(std::move(model.T)), owned_mat(std::move(model.P)),
        owned_mat(std::move(model.W)), owned_vec(model.Q), owned_vec(model.coef),
        owned_vec(model.beta), Value::real(model.intercept), Value::count(model.k_used),
        Value::boolean(model.pre_standardized), opt_vec(model.weights), Value::real(model.n_eff),
        std::move(rotation_spec), std::move(selection_result), opt_count(model.keep)));
}

Value pls3_model(Pls3Model model) {
    Value converged;
    if (model.converged)
        converged = Value(BoolVec(model.converged->begin(), model.converged->end()));
    Value n_iter;
    if (model.n_iter) n_iter = counts(*model.n_iter);
    return Value(result_record(
        "PLS3Result", owned_mat(std::move(model.U)), owned_mat(std::move(model.V)),
        owned_vec(model.singular_values), owned_mat(std::move(model.x_scores)),
        owned_mat(std::move(model.y_scores)), owned_vec(model.X_mean), owned_vec(model.X_scale),
        owned_vec(model.Y_mean), owned_vec(model.Y_scale), Value::count(model.k_used),
        Value::boolean(model.pre_standardized_X), Value::boolean(model.pre_standardized_Y),
        opt_count(model.keep_X), opt_count(model.keep_Y), std::move(converged), std::move(n_iter)));
}

Value pls3_scores(Pls3Scores scores) {
    return Value(result_record("PLS3Scores", opt_mat(std::move(scores.x_scores)),
                               opt_mat(std::move(scores.y_scores))));
}

BindResult<Record> model_record(Value value, std::string_view expected, std::string_view arg_name) {
    const std::string head =
        std::string(arg_name) + " must be a " + std::string(expected) + ", got ";
    auto* record = value.get_if<Record>();
    if (!record) return std::unexpected(BindError::invalid_argument(head + describe(value)));
    const auto& type = record->type_name();
    if (type && *type != expected)
        return std::unexpected(BindError::invalid_argument(head + "a " + *type));
    return std::move(*record);
}

BindResult<Pls1Model> pls1_model_from_record(std::span<const Field> fields) {
    // Built in place in the result: a moved-from local model trips a false
    // uninitialised-use warning of GCC 12 on its optional weights.
    BindResult<Pls1Model> out(std::in_place);
    Pls1Model& m = *out;
    VELTRA_CHECK(read_model(fields, "PLS1Result", m.T, m.P, m.W, m.Q, m.coef, m.beta, m.intercept,
                            m.k_used, m.pre_standardized, m.weights, m.n_eff, m.keep));
    return out;
}

BindResult<Pls3Model> pls3_model_from_record(std::span<const Field> fields) {
    Pls3Model m;
    VELTRA_CHECK(read_model(fields, "PLS3Result", m.U, m.V, m.singular_values, m.x_scores,
                            m.y_scores, m.X_mean, m.X_scale, m.Y_mean, m.Y_scale, m.k_used,
                            m.pre_standardized_X, m.pre_standardized_Y, m.keep_X, m.keep_Y));
    return m;
}

Value ci_scalar(const CIScalar& c) {
    return Value(result_record("CIScalar", Value::real(c.point), Value::real(c.lower),
                               Value::real(c.upper), Value::real(c.sd)));
}

namespace {

Value confirmatory_ci(const ConfirmatoryCI& ci) {
    return Value(result_record(
        "ConfirmatoryCI", Value::count(ci.n_boot), Value::count(ci.m), Value::real(ci.m_rate),
        Value::real(ci.level), owned_vec(ci.beta_sign_z), owned_vec(ci.beta_sign_z_signed),
        owned_vec(ci.leverage_ci_lower), owned_vec(ci.leverage_ci_upper), owned_vec(ci.leverage_se),
        owned_vec(ci.beta_ci_lower), owned_vec(ci.beta_ci_upper), owned_vec(ci.beta_se),
        ci_scalar(ci.holdout_corr), Value::count(ci.n_boot_finite),
        Value::count(ci.n_boot_finite_holdout_corr)));
}

Value opt_map(const std::optional<ScoreMap>& m) { return m ? score_map(*m) : Value(); }

}  // namespace

Record confirmatory_test(ConfirmatoryTestOutput&& out) {
    return result_record("ConfirmatoryTestResult", Value::real(out.pvalue),
                         Value::real(out.statistic), Value::string(std::move(out.test_method)),
                         Value::count(out.k), opt_count(out.n_perm), opt_count(out.n_splits),
                         Value::uint64(out.seed), Value::real(out.n_eff), opt_real(out.rho_hat),
                         opt_real(out.stable_rank), out.ci ? confirmatory_ci(*out.ci) : Value());
}

Value perm_null(PermNullOutput&& out) {
    Value matrix = Value::none();
    if (out.beta_perm_matrix) {
        const std::size_t len = out.beta_perm_matrix->size();
        const std::size_t rows = out.n_perm, cols = len / std::max<std::size_t>(rows, 1);
        matrix = Value(MatF64::row_major_owned(rows, cols, std::move(*out.beta_perm_matrix)));
    }
    return Value(result_record(
        "PermNullResult", Value::count(out.n_perm), Value::count(out.k), Value::uint64(out.seed),
        owned_vec(out.beta_ref), owned_vec(out.beta_perm_mean), owned_vec(out.beta_perm_sd),
        owned_vec(out.beta_perm_z), std::move(matrix), Value::real(out.n_eff)));
}

Value score_map(const ScoreMap& scores) {
    IntMap out;
    out.reserve(scores.size());
    for (const auto& [key, score] : scores) out.emplace_back(clamp_count(key), score);
    return Value(std::move(out));
}

Value find_keep_optimal(const FindKeepOptimalOutput& out) {
    return Value(result_record("FindKeepOptimalResult", Value::count(out.keep_star),
                               Value::count(out.k), score_map(out.cv_scores),
                               score_map(out.cv_scores_se), counts(out.keep_grid),
                               Value::uint64(out.seed), Value::real(out.n_eff)));
}

Record find_k_optimal(const FindKOptimalOutput& out) {
    return result_record("FindKOptimalResult", Value::count(out.k_star),
                         Value::string(out.selector), opt_map(out.cv_scores),
                         opt_map(out.cv_scores_se), opt_map(out.bic_scores), opt_vec(out.pvalues),
                         out.diagnostic ? Value::string(*out.diagnostic) : Value(),
                         Value::uint64(out.seed), Value::real(out.n_eff),
                         opt_real(out.stable_rank));
}

Record find_k_sequence(const FindKSequenceOutput& out) {
    return result_record("FindKSequenceResult", Value::count(out.k_star), owned_vec(out.pvalues),
                         Value::string(out.test_method), Value::real(out.alpha),
                         Value::uint64(out.seed), Value::real(out.n_eff),
                         opt_real(out.stable_rank));
}

Value perm_alpha(PermAlphaOutput&& out) {
    return Value(result_record("PermAlphaResult", owned_mat(out.alpha), counts(out.k_used),
                               Value(BoolVec(std::move(out.resolved))), Value::count(out.k),
                               Value::count(out.n_features)));
}

Value rotation_stability(RotationStabilityOutput&& out) {
    List per_axis;
    per_axis.reserve(out.variance_ratio_per_axis.size());
    for (const CIScalar& ci : out.variance_ratio_per_axis) per_axis.push_back(ci_scalar(ci));
    return Value(result_record(
        "RotationStabilityResult", Value::string(std::move(out.method)), Value::count(out.n_boot),
        Value::count(out.m), Value::real(out.m_rate), Value::real(out.level),
        Value::uint64(out.seed), ci_scalar(out.variance_ratio), Value(std::move(per_axis)),
        Value::real(out.variance_unrot), Value::real(out.variance_rot),
        owned_vec(out.variance_unrot_per_axis), owned_vec(out.variance_rot_per_axis),
        Value::boolean(out.degenerate_baseline), Value::count(out.n_boot_finite),
        Value::real(out.n_eff)));
}

}  // namespace veltra::bind
