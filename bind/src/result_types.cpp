#include "veltra/bind/result_types.hpp"

#include <array>
#include <string>

#include "veltra/error.hpp"

namespace veltra::bind {

namespace {

constexpr bool nullable = true;
constexpr bool required = false;

constexpr FieldSpec preprocess_result[] = {
    {"X_std", "mat", nullable},
    {"X_mean", "vec", nullable},
    {"X_scale", "vec", nullable},
    {"Y_std", "vec_or_mat", nullable},
    {"Y_mean", "f64_or_vec", nullable},
    {"Y_scale", "f64_or_vec", nullable},
    {"weights_normalized", "vec", nullable},
    {"n_eff", "f64", nullable},
};

constexpr FieldSpec pls1_result[] = {
    {"T", "mat", required},
    {"P", "mat", required},
    {"W", "mat", required},
    {"Q", "vec", required},
    {"coef", "vec", required},
    {"beta", "vec", required},
    {"intercept", "f64", required},
    {"k_used", "i64", required},
    {"pre_standardized", "bool", required},
    {"weights", "vec", nullable},
    {"n_eff", "f64", required},
    {"rotation_spec", "record:RotationSpec", nullable},
    {"selection_result", "record:FindKOptimalResult|FindKSequenceResult", nullable},
    {"keep", "i64", nullable},
};

constexpr FieldSpec pls3_result[] = {
    {"U", "mat", required},
    {"V", "mat", required},
    {"singular_values", "vec", required},
    {"x_scores", "mat", required},
    {"y_scores", "mat", required},
    {"X_mean", "vec", required},
    {"X_scale", "vec", required},
    {"Y_mean", "vec", required},
    {"Y_scale", "vec", required},
    {"k_used", "i64", required},
    {"pre_standardized_X", "bool", required},
    {"pre_standardized_Y", "bool", required},
    {"keep_X", "i64", nullable},
    {"keep_Y", "i64", nullable},
    {"converged", "boolvec", nullable},
    {"n_iter", "intvec", nullable},
};

constexpr FieldSpec pls3_scores[] = {
    {"x_scores", "mat", nullable},
    {"y_scores", "mat", nullable},
};

constexpr FieldSpec find_k_optimal_result[] = {
    {"k_star", "i64", required},
    {"selector", "str", required},
    {"cv_scores", "intmap", nullable},
    {"cv_scores_se", "intmap", nullable},
    {"bic_scores", "intmap", nullable},
    {"pvalues", "vec", nullable},
    {"diagnostic", "str", nullable},
    {"seed", "u64", required},
    {"n_eff", "f64", required},
    {"stable_rank", "f64", nullable},
};

constexpr FieldSpec find_k_sequence_result[] = {
    {"k_star", "i64", required},
    {"pvalues", "vec", required},
    {"test_method", "str", required},
    {"alpha", "f64", required},
    {"seed", "u64", required},
    {"n_eff", "f64", required},
    {"stable_rank", "f64", nullable},
};

constexpr FieldSpec find_keep_optimal_result[] = {
    {"keep_star", "i64", required},
    {"k", "i64", required},
    {"cv_scores", "intmap", required},
    {"cv_scores_se", "intmap", required},
    {"keep_grid", "intvec", required},
    {"seed", "u64", required},
    {"n_eff", "f64", required},
};

constexpr FieldSpec confirmatory_test_result[] = {
    {"pvalue", "f64", required},
    {"statistic", "f64", required},
    {"test_method", "str", required},
    {"k", "i64", required},
    {"n_perm", "i64", nullable},
    {"n_splits", "i64", nullable},
    {"seed", "u64", required},
    {"n_eff", "f64", required},
    {"rho_hat", "f64", nullable},
    {"stable_rank", "f64", nullable},
    {"ci", "record:ConfirmatoryCI", nullable},
};

constexpr FieldSpec split_nb_gate_result[] = {
    {"fires", "bool", required},
    {"stable_rank", "f64", required},
    {"n_eff", "f64", required},
};

constexpr FieldSpec perm_null_result[] = {
    {"n_perm", "i64", required},
    {"k", "i64", required},
    {"seed", "u64", required},
    {"beta_ref", "vec", required},
    {"beta_perm_mean", "vec", required},
    {"beta_perm_sd", "vec", required},
    {"beta_perm_z", "vec", required},
    {"beta_perm_matrix", "mat", nullable},
    {"n_eff", "f64", required},
};

constexpr FieldSpec perm_alpha_result[] = {
    {"alpha", "mat", required},
    {"k_used", "intvec", required},
    {"resolved", "boolvec", required},
    {"k", "i64", required},
    {"n_features", "i64", required},
};

constexpr FieldSpec ci_scalar[] = {
    {"point", "f64", required},
    {"lower", "f64", required},
    {"upper", "f64", required},
    {"sd", "f64", required},
};

constexpr FieldSpec confirmatory_ci[] = {
    {"n_boot", "i64", required},
    {"m", "i64", required},
    {"m_rate", "f64", required},
    {"level", "f64", required},
    {"beta_sign_z", "vec", required},
    {"beta_sign_z_signed", "vec", required},
    {"leverage_ci_lower", "vec", required},
    {"leverage_ci_upper", "vec", required},
    {"leverage_se", "vec", required},
    {"beta_ci_lower", "vec", required},
    {"beta_ci_upper", "vec", required},
    {"beta_se", "vec", required},
    {"holdout_corr", "record:CIScalar", required},
    {"n_boot_finite", "i64", required},
    {"n_boot_finite_holdout_corr", "i64", required},
};

constexpr FieldSpec rotate_result[] = {
    {"W_rot", "mat", required},
    {"spec", "record:RotationSpec", required},
};

constexpr FieldSpec rotation_stability_result[] = {
    {"method", "str", required},
    {"n_boot", "i64", required},
    {"m", "i64", required},
    {"m_rate", "f64", required},
    {"level", "f64", required},
    {"seed", "u64", required},
    {"variance_ratio", "record:CIScalar", required},
    {"variance_ratio_per_axis", "list:CIScalar", required},
    {"variance_unrot", "f64", required},
    {"variance_rot", "f64", required},
    {"variance_unrot_per_axis", "vec", required},
    {"variance_rot_per_axis", "vec", required},
    {"degenerate_baseline", "bool", required},
    {"n_boot_finite", "i64", required},
    {"n_eff", "f64", required},
};

constexpr FieldSpec rotation_spec[] = {
    {"method", "str", required},
    {"args", "args", required},
    {"R", "mat", required},
    {"sweeps", "i64", required},
    {"V_converged", "f64", required},
    {"L_was_provided", "bool", required},
};

constexpr std::array<ResultTypeSpec, 16> table = {{
    {"PreprocessResult", "preprocess_result", preprocess_result},
    {"PLS1Result", "pls1_result", pls1_result},
    {"PLS3Result", "pls3_result", pls3_result},
    {"PLS3Scores", "pls3_scores", pls3_scores},
    {"FindKOptimalResult", "find_k_optimal_result", find_k_optimal_result},
    {"FindKSequenceResult", "find_k_sequence_result", find_k_sequence_result},
    {"FindKeepOptimalResult", "find_keep_optimal_result", find_keep_optimal_result},
    {"ConfirmatoryTestResult", "confirmatory_test_result", confirmatory_test_result},
    {"SplitNbGateResult", "split_nb_gate_result", split_nb_gate_result},
    {"PermNullResult", "perm_null_result", perm_null_result},
    {"PermAlphaResult", "perm_alpha_result", perm_alpha_result},
    {"CIScalar", "ci_scalar", ci_scalar},
    {"ConfirmatoryCI", "confirmatory_ci", confirmatory_ci},
    {"RotateResult", "rotate_result", rotate_result},
    {"RotationStabilityResult", "rotation_stability_result", rotation_stability_result},
    {"RotationSpec", "rotation_spec", rotation_spec},
}};

}  // namespace

std::span<const ResultTypeSpec> result_types() { return table; }

const ResultTypeSpec* find_result_type(std::string_view name) {
    for (const ResultTypeSpec& t : table)
        if (t.name == name) return &t;
    return nullptr;
}

Record result_record_of(std::string_view type_name, std::span<Value> values) {
    const ResultTypeSpec* type = find_result_type(type_name);
    internal_check(type != nullptr, "record of an unknown result type");
    internal_check(values.size() == type->fields.size(),
                   "result record with another field count than its type");
    Record out = Record::typed(type_name);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const FieldSpec& field = type->fields[i];
        internal_check(field.nullable || !values[i].is_none(),
                       "null in a result field that is never null");
        out = std::move(out).field(field.name, std::move(values[i]));
    }
    return out;
}

}  // namespace veltra::bind
