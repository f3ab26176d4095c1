// Fitted models across the boundary: core models out as typed records
// (PLS1Result, PLS3Result, PLS3Scores), and model records given by a caller
// back in as core models. A record coming back may be typed with exactly the
// expected name or untyped (a plain dictionary); its fields are read by name,
// in a fixed order, and extra fields are ignored. Every matrix and vector
// read from a record is copied into storage the model owns, so a rebuilt
// model never aliases the caller's arrays. Every failure is an
// `invalid_argument` error without details.
#pragma once

#include <span>
#include <string_view>

#include "veltra/bind/value.hpp"
#include "veltra/fit.hpp"
#include "veltra/pls3.hpp"
#include "veltra/resample/confirmatory.hpp"
#include "veltra/resample/perm_alpha.hpp"
#include "veltra/resample/perm_null.hpp"
#include "veltra/resample/subsample.hpp"
#include "veltra/select/find_k.hpp"
#include "veltra/select/find_k_search.hpp"
#include "veltra/select/rotation_stability.hpp"

namespace veltra::bind {

// Core results as owned values: a column-major matrix that takes over the
// given matrix's storage (pass an rvalue to avoid a copy), a vector copy.
Value owned_mat(Eigen::MatrixXd m);
Value owned_vec(const Eigen::VectorXd& v);

// The PLS1Result record: every field in its fixed order, the model's
// matrices taken over and its vectors copied, counts clamped into signed
// integers. The two
// record-only fields take the given values as they are (null from the fits;
// rotate fills rotation_spec, a k search selection_result).
Value pls1_model(Pls1Model model, Value rotation_spec, Value selection_result);

// The PLS3Result record: every field in its fixed order, the model's
// matrices taken over and its vectors copied, counts clamped into signed
// integers.
Value pls3_model(Pls3Model model);
// The PLS3Scores record; the side that was not computed is null.
Value pls3_scores(Pls3Scores scores);

// The type check of a model argument: an untyped record, or one typed
// `expected`, is returned as it is. `arg_name` opens the message ("model",
// "rotate() first arg").
BindResult<Record> model_record(Value value, std::string_view expected, std::string_view arg_name);

// The PLS1 model of a record that passed model_record: T, P, W, Q, coef,
// beta, intercept, k_used, pre_standardized, weights, n_eff, keep, read in
// that order. rotation_spec, selection_result and any other field are not
// read. No consistency check between the fields.
BindResult<Pls1Model> pls1_model_from_record(std::span<const Field> fields);

// The two-block model of a record that passed model_record: U, V,
// singular_values, x_scores, y_scores, X_mean, X_scale, Y_mean, Y_scale,
// k_used, pre_standardized_X, pre_standardized_Y, keep_X, keep_Y, read in
// that order. converged and n_iter are not read. No consistency check
// between the fields.
BindResult<Pls3Model> pls3_model_from_record(std::span<const Field> fields);

// A CIScalar record: point, lower, upper, sd.
Value ci_scalar(const resample::CIScalar& c);

// The ConfirmatoryTestResult record, with its ConfirmatoryCI record nested
// (null when no interval was computed); a Record, for with_warning.
Record confirmatory_test(resample::ConfirmatoryTestOutput&& out);

// The PermNullResult record; the flat buffer of permuted coefficients, when
// present, becomes its row-major n_perm x p matrix without a copy.
Value perm_null(resample::PermNullOutput&& out);

// The PermAlphaResult record (a column-major copy of alpha).
Value perm_alpha(resample::PermAlphaOutput&& out);

// The RotationStabilityResult record, one CIScalar record per axis in axis
// order.
Value rotation_stability(select::RotationStabilityOutput&& out);

// Search results as typed records. Counts are clamped into signed integers,
// seeds stay unsigned, reals (NaN included) pass unchanged.

// One entry per score, keys ascending, each key clamped to 2^63 - 1.
Value score_map(const select::ScoreMap& scores);

// The FindKeepOptimalResult record.
Value find_keep_optimal(const select::FindKeepOptimalOutput& out);

// The FindKOptimalResult and FindKSequenceResult records; Records, for
// with_warning.
Record find_k_optimal(const select::FindKOptimalOutput& out);
Record find_k_sequence(const select::FindKSequenceOutput& out);

}  // namespace veltra::bind
