#include "veltra/bind/convert.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "veltra/bind/coerce.hpp"
#include "veltra/bind/error.hpp"

namespace veltra::bind {

namespace {

Value opt_count(const std::optional<std::uint64_t>& n) { return n ? Value::count(*n) : Value(); }
Value opt_real(const std::optional<double>& x) { return x ? Value::real(*x) : Value(); }

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

    double f64(std::string_view name) {
        const Value* v = need(name);
        if (!v) return 0.0;
        auto x = to_f64(*v);
        if (!x) fail_field(name, x.error());
        return x.value_or(0.0);
    }

    std::uint64_t usize(std::string_view name) {
        const Value* v = need(name);
        return v ? usize_of(name, *v) : 0;
    }

    std::optional<std::uint64_t> opt_usize(std::string_view name) {
        const Value* v = find(name);
        if (!v) return std::nullopt;
        const std::uint64_t n = usize_of(name, *v);
        if (error) return std::nullopt;
        return n;
    }

    bool boolean(std::string_view name) {
        const Value* v = need(name);
        if (!v) return false;
        if (const bool* b = v->get_if<bool>()) return *b;
        fail_field(name, "must be a bool, got " + describe(*v));
        return false;
    }

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

    std::uint64_t usize_of(std::string_view name, const Value& v) {
        auto n = to_usize(v);
        if (!n) fail_field(name, n.error());
        return n.value_or(0);
    }

    void fail(std::string message) { error = BindError::invalid_argument(std::move(message)); }
    void fail_field(std::string_view name, std::string_view text) {
        fail("model field '" + std::string(name) + "' " + std::string(text));
    }

    std::span<const Field> fields_;
};

}  // namespace

Value owned_mat(Eigen::MatrixXd m) { return Value(MatF64::adopt(std::move(m))); }

Value owned_vec(const Eigen::VectorXd& v) {
    const auto n = static_cast<std::size_t>(v.size());
    return Value(VecF64::copy_of(std::span<const double>(v.data(), n)));
}

Value pls1_model(Pls1Model model, Value rotation_spec, Value selection_result) {
    return Value(Record::typed("PLS1Result")
                     .field("T", owned_mat(std::move(model.T)))
                     .field("P", owned_mat(std::move(model.P)))
                     .field("W", owned_mat(std::move(model.W)))
                     .field("Q", owned_vec(model.Q))
                     .field("coef", owned_vec(model.coef))
                     .field("beta", owned_vec(model.beta))
                     .field("intercept", Value::real(model.intercept))
                     .field("k_used", Value::count(model.k_used))
                     .field("pre_standardized", Value::boolean(model.pre_standardized))
                     .field("weights", model.weights ? owned_vec(*model.weights) : Value())
                     .field("n_eff", Value::real(model.n_eff))
                     .field("rotation_spec", std::move(rotation_spec))
                     .field("selection_result", std::move(selection_result))
                     .field("keep", model.keep ? Value::count(*model.keep) : Value()));
}

Value pls3_model(Pls3Model model) {
    Value converged;
    if (model.converged)
        converged = Value(BoolVec(model.converged->begin(), model.converged->end()));
    Value n_iter;
    if (model.n_iter) {
        IntVec counts;
        counts.reserve(model.n_iter->size());
        for (const std::uint64_t n : *model.n_iter) counts.push_back(clamp_count(n));
        n_iter = Value(std::move(counts));
    }
    return Value(Record::typed("PLS3Result")
                     .field("U", owned_mat(std::move(model.U)))
                     .field("V", owned_mat(std::move(model.V)))
                     .field("singular_values", owned_vec(model.singular_values))
                     .field("x_scores", owned_mat(std::move(model.x_scores)))
                     .field("y_scores", owned_mat(std::move(model.y_scores)))
                     .field("X_mean", owned_vec(model.X_mean))
                     .field("X_scale", owned_vec(model.X_scale))
                     .field("Y_mean", owned_vec(model.Y_mean))
                     .field("Y_scale", owned_vec(model.Y_scale))
                     .field("k_used", Value::count(model.k_used))
                     .field("pre_standardized_X", Value::boolean(model.pre_standardized_X))
                     .field("pre_standardized_Y", Value::boolean(model.pre_standardized_Y))
                     .field("keep_X", opt_count(model.keep_X))
                     .field("keep_Y", opt_count(model.keep_Y))
                     .field("converged", std::move(converged))
                     .field("n_iter", std::move(n_iter)));
}

Value pls3_scores(Pls3Scores scores) {
    return Value(Record::typed("PLS3Scores")
                     .field("x_scores", scores.x_scores ? owned_mat(std::move(*scores.x_scores)) : Value())
                     .field("y_scores", scores.y_scores ? owned_mat(std::move(*scores.y_scores)) : Value()));
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
    FieldReader r(fields);
    // Built in place in the result: a moved-from local model trips a false
    // uninitialised-use warning of GCC 12 on its optional weights.
    BindResult<Pls1Model> out(std::in_place);
    Pls1Model& m = *out;
    m.T = r.mat("T");
    m.P = r.mat("P");
    m.W = r.mat("W");
    m.Q = r.col("Q");
    m.coef = r.col("coef");
    m.beta = r.col("beta");
    m.intercept = r.f64("intercept");
    m.k_used = r.usize("k_used");
    m.pre_standardized = r.boolean("pre_standardized");
    m.weights = r.opt_col("weights");
    m.n_eff = r.f64("n_eff");
    m.keep = r.opt_usize("keep");
    if (r.error) return std::unexpected(std::move(*r.error));
    return out;
}

BindResult<Pls3Model> pls3_model_from_record(std::span<const Field> fields) {
    FieldReader r(fields);
    Pls3Model m;
    m.U = r.mat("U");
    m.V = r.mat("V");
    m.singular_values = r.col("singular_values");
    m.x_scores = r.mat("x_scores");
    m.y_scores = r.mat("y_scores");
    m.X_mean = r.col("X_mean");
    m.X_scale = r.col("X_scale");
    m.Y_mean = r.col("Y_mean");
    m.Y_scale = r.col("Y_scale");
    m.k_used = r.usize("k_used");
    m.pre_standardized_X = r.boolean("pre_standardized_X");
    m.pre_standardized_Y = r.boolean("pre_standardized_Y");
    m.keep_X = r.opt_usize("keep_X");
    m.keep_Y = r.opt_usize("keep_Y");
    if (r.error) return std::unexpected(std::move(*r.error));
    return m;
}

Value ci_scalar(const CIScalar& c) {
    return Value(Record::typed("CIScalar")
                     .field("point", Value::real(c.point))
                     .field("lower", Value::real(c.lower))
                     .field("upper", Value::real(c.upper))
                     .field("sd", Value::real(c.sd)));
}

namespace {

Value confirmatory_ci(const ConfirmatoryCI& ci) {
    return Value(Record::typed("ConfirmatoryCI")
                     .field("n_boot", Value::count(ci.n_boot))
                     .field("m", Value::count(ci.m))
                     .field("m_rate", Value::real(ci.m_rate))
                     .field("level", Value::real(ci.level))
                     .field("beta_sign_z", owned_vec(ci.beta_sign_z))
                     .field("beta_sign_z_signed", owned_vec(ci.beta_sign_z_signed))
                     .field("leverage_ci_lower", owned_vec(ci.leverage_ci_lower))
                     .field("leverage_ci_upper", owned_vec(ci.leverage_ci_upper))
                     .field("leverage_se", owned_vec(ci.leverage_se))
                     .field("beta_ci_lower", owned_vec(ci.beta_ci_lower))
                     .field("beta_ci_upper", owned_vec(ci.beta_ci_upper))
                     .field("beta_se", owned_vec(ci.beta_se))
                     .field("holdout_corr", ci_scalar(ci.holdout_corr))
                     .field("n_boot_finite", Value::count(ci.n_boot_finite))
                     .field("n_boot_finite_holdout_corr",
                            Value::count(ci.n_boot_finite_holdout_corr)));
}

}  // namespace

Record confirmatory_test(ConfirmatoryTestOutput&& out) {
    return Record::typed("ConfirmatoryTestResult")
        .field("pvalue", Value::real(out.pvalue))
        .field("statistic", Value::real(out.statistic))
        .field("test_method", Value::string(std::move(out.test_method)))
        .field("k", Value::count(out.k))
        .field("n_perm", opt_count(out.n_perm))
        .field("n_splits", opt_count(out.n_splits))
        .field("seed", Value::uint64(out.seed))
        .field("n_eff", Value::real(out.n_eff))
        .field("rho_hat", opt_real(out.rho_hat))
        .field("stable_rank", opt_real(out.stable_rank))
        .field("ci", out.ci ? confirmatory_ci(*out.ci) : Value());
}

Value perm_null(PermNullOutput&& out) {
    Value matrix = Value::none();
    if (out.beta_perm_matrix) {
        const std::size_t len = out.beta_perm_matrix->size();
        const std::size_t rows = out.n_perm, cols = len / std::max<std::size_t>(rows, 1);
        matrix = Value(MatF64::row_major_owned(rows, cols, std::move(*out.beta_perm_matrix)));
    }
    return Value(Record::typed("PermNullResult")
                     .field("n_perm", Value::count(out.n_perm))
                     .field("k", Value::count(out.k))
                     .field("seed", Value::uint64(out.seed))
                     .field("beta_ref", owned_vec(out.beta_ref))
                     .field("beta_perm_mean", owned_vec(out.beta_perm_mean))
                     .field("beta_perm_sd", owned_vec(out.beta_perm_sd))
                     .field("beta_perm_z", owned_vec(out.beta_perm_z))
                     .field("beta_perm_matrix", std::move(matrix))
                     .field("n_eff", Value::real(out.n_eff)));
}

Value score_map(const ScoreMap& scores) {
    IntMap out;
    out.reserve(scores.size());
    for (const auto& [key, score] : scores) out.emplace_back(clamp_count(key), score);
    return Value(std::move(out));
}

Value find_keep_optimal(const FindKeepOptimalOutput& out) {
    IntVec grid;
    grid.reserve(out.keep_grid.size());
    for (std::uint64_t keep : out.keep_grid) grid.push_back(clamp_count(keep));
    return Value(Record::typed("FindKeepOptimalResult")
                     .field("keep_star", Value::count(out.keep_star))
                     .field("k", Value::count(out.k))
                     .field("cv_scores", score_map(out.cv_scores))
                     .field("cv_scores_se", score_map(out.cv_scores_se))
                     .field("keep_grid", Value(std::move(grid)))
                     .field("seed", Value::uint64(out.seed))
                     .field("n_eff", Value::real(out.n_eff)));
}

Record find_k_optimal(const FindKOptimalOutput& out) {
    const auto opt_map = [](const std::optional<ScoreMap>& m) {
        return m ? score_map(*m) : Value();
    };
    return Record::typed("FindKOptimalResult")
        .field("k_star", Value::count(out.k_star))
        .field("selector", Value::string(out.selector))
        .field("cv_scores", opt_map(out.cv_scores))
        .field("cv_scores_se", opt_map(out.cv_scores_se))
        .field("bic_scores", opt_map(out.bic_scores))
        .field("pvalues", out.pvalues ? owned_vec(*out.pvalues) : Value())
        .field("diagnostic", out.diagnostic ? Value::string(*out.diagnostic) : Value())
        .field("seed", Value::uint64(out.seed))
        .field("n_eff", Value::real(out.n_eff))
        .field("stable_rank", opt_real(out.stable_rank));
}

Record find_k_sequence(const FindKSequenceOutput& out) {
    return Record::typed("FindKSequenceResult")
        .field("k_star", Value::count(out.k_star))
        .field("pvalues", owned_vec(out.pvalues))
        .field("test_method", Value::string(out.test_method))
        .field("alpha", Value::real(out.alpha))
        .field("seed", Value::uint64(out.seed))
        .field("n_eff", Value::real(out.n_eff))
        .field("stable_rank", opt_real(out.stable_rank));
}

Value perm_alpha(PermAlphaOutput&& out) {
    IntVec k_used;
    k_used.reserve(out.k_used.size());
    for (const std::uint64_t k : out.k_used) k_used.push_back(clamp_count(k));
    return Value(Record::typed("PermAlphaResult")
                     .field("alpha", owned_mat(out.alpha))
                     .field("k_used", Value(std::move(k_used)))
                     .field("resolved", Value(BoolVec(std::move(out.resolved))))
                     .field("k", Value::count(out.k))
                     .field("n_features", Value::count(out.n_features)));
}

Value rotation_stability(RotationStabilityOutput&& out) {
    List per_axis;
    per_axis.reserve(out.variance_ratio_per_axis.size());
    for (const CIScalar& ci : out.variance_ratio_per_axis) per_axis.push_back(ci_scalar(ci));
    return Value(Record::typed("RotationStabilityResult")
                     .field("method", Value::string(std::move(out.method)))
                     .field("n_boot", Value::count(out.n_boot))
                     .field("m", Value::count(out.m))
                     .field("m_rate", Value::real(out.m_rate))
                     .field("level", Value::real(out.level))
                     .field("seed", Value::uint64(out.seed))
                     .field("variance_ratio", ci_scalar(out.variance_ratio))
                     .field("variance_ratio_per_axis", Value(std::move(per_axis)))
                     .field("variance_unrot", Value::real(out.variance_unrot))
                     .field("variance_rot", Value::real(out.variance_rot))
                     .field("variance_unrot_per_axis", owned_vec(out.variance_unrot_per_axis))
                     .field("variance_rot_per_axis", owned_vec(out.variance_rot_per_axis))
                     .field("degenerate_baseline", Value::boolean(out.degenerate_baseline))
                     .field("n_boot_finite", Value::count(out.n_boot_finite))
                     .field("n_eff", Value::real(out.n_eff)));
}

}  // namespace veltra::bind
