#include "veltra/preprocess.hpp"

#include <cmath>

#include "veltra/finite.hpp"
#include "veltra/weights.hpp"

namespace veltra {
namespace {

MatView as_column(VecView v) { return {v.data, v.len, 1, v.stride, 0}; }

// The checks shared by both forms, in their fixed order; the response is a
// matrix view (a vector as one column). On success, the normalised weights.
Result<std::optional<NormalizedWeights>> check_inputs(const std::optional<MatView>& X,
                                                      const std::optional<MatView>& resp,
                                                      const std::optional<VecView>& weights) {
    if (X && resp && X->rows != resp->rows)
        return fail(VeltraError::DimensionMismatch{resp->rows, X->rows, X->cols});
    if (weights && ((X && weights->size() != X->rows) || (resp && weights->size() != resp->rows)))
        return fail(VeltraError::InvalidWeights{"length_mismatch"});
    if (X && !all_finite(*X)) return fail(VeltraError::NonFiniteInput{});
    if (resp && !all_finite(*resp)) return fail(VeltraError::NonFiniteInput{});
    if ((X || resp) && (X ? X->rows : resp->rows) == 0)
        return fail(VeltraError::InvalidArgument{"insufficient n: need n >= 1 (got n=0)"});
    return normalized_weights(weights);
}

PreprocessOutput start_output(const std::optional<MatView>& X,
                              std::optional<NormalizedWeights>& nw) {
    PreprocessOutput out;
    std::optional<VecView> w;
    if (nw) {
        out.weights_normalized = std::move(*nw->weights);
        out.n_eff = nw->n_eff;
        w = VecView::of(*out.weights_normalized);
    }
    if (X) out.X = standardize_weighted(*X, w);
    return out;
}

std::optional<VecView> weights_of(const PreprocessOutput& out) {
    if (!out.weights_normalized) return std::nullopt;
    return VecView::of(*out.weights_normalized);
}

}  // namespace

Result<PreprocessOutput> preprocess(std::optional<MatView> X, std::optional<VecView> y,
                                    std::optional<VecView> weights) {
    std::optional<MatView> resp;
    if (y) resp = as_column(*y);
    VELTRA_TRY(nw, check_inputs(X, resp, weights));
    PreprocessOutput out = start_output(X, *nw);
    if (y) out.Y = standardize1_weighted(*y, weights_of(out));
    return out;
}

Result<PreprocessOutput> preprocess_block(std::optional<MatView> X, std::optional<MatView> Y,
                                          std::optional<VecView> weights) {
    VELTRA_TRY(nw, check_inputs(X, Y, weights));
    PreprocessOutput out = start_output(X, *nw);
    if (Y) out.Y = standardize_weighted(*Y, weights_of(out));
    return out;
}

}  // namespace veltra
