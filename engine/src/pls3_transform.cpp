// Scoring new rows with a two-block model.

#include <string>
#include <utility>

#include "veltra/finite.hpp"
#include "veltra/linalg.hpp"
#include "veltra/pls3.hpp"
#include "veltra/standardize.hpp"
#include "veltra/text.hpp"

namespace veltra {

namespace {

struct Side {
    std::string_view input;  // "x_new" / "y_new"
    std::string_view weights;  // "u_saliences" / "v_saliences"
    std::string_view moments;  // "x_mean/x_scale" / "y_mean/y_scale"
    const Eigen::MatrixXd& W;
    const Eigen::VectorXd& mean;
    const Eigen::VectorXd& scale;
};

Result<Eigen::MatrixXd> score_side(const Side& side, std::uint64_t k_used,
                                   std::optional<MatView> data, Pls3Which which) {
    const auto n = format_count;
    if (!data) {
        return fail(VeltraError::InvalidArgument{"which='" + std::string(pls3_which_name(which)) +
                                                 "' requires " + std::string(side.input) +
                                                 ", which was not supplied"});
    }
    const std::uint64_t p = static_cast<std::uint64_t>(side.W.rows());
    const std::uint64_t w_cols = static_cast<std::uint64_t>(side.W.cols());
    if (data->cols != p) {
        return fail(VeltraError::ShapeMismatch{std::string(side.input) + " has " + n(data->cols) +
                                               " columns, model was fit on " + n(p)});
    }
    if (w_cols != k_used) {
        return fail(VeltraError::ShapeMismatch{"model " + std::string(side.weights) + " has " +
                                               n(w_cols) + " columns, k_used is " + n(k_used)});
    }
    const std::uint64_t mean_len = static_cast<std::uint64_t>(side.mean.size());
    const std::uint64_t scale_len = static_cast<std::uint64_t>(side.scale.size());
    if (mean_len != p || scale_len != p) {
        return fail(VeltraError::ShapeMismatch{"model " + std::string(side.moments) +
                                               " have lengths " + n(mean_len) + "/" +
                                               n(scale_len) + ", expected " + n(p)});
    }
    VELTRA_CHECK(check_finite_mat(*data));
    const Eigen::MatrixXd z =
        standardize_apply(*data, VecView::of(side.mean), VecView::of(side.scale));
    return mat_mul(MatView::of(z), MatView::of(side.W), par_sequential);
}

}  // namespace

std::string_view pls3_which_name(Pls3Which which) {
    switch (which) {
        case Pls3Which::x_scores: return "x_scores";
        case Pls3Which::y_scores: return "y_scores";
        case Pls3Which::both: return "both";
    }
    internal_failure("pls3_which_name: unknown value");
}

Result<Pls3Scores> pls3_transform(const Pls3Model& model, std::optional<MatView> X_new,
                                  std::optional<MatView> Y_new, Pls3Which which) {
    Pls3Scores out;
    if (which == Pls3Which::x_scores || which == Pls3Which::both) {
        const Side x{"x_new", "u_saliences", "x_mean/x_scale", model.U, model.X_mean,
                     model.X_scale};
        VELTRA_TRY(t, score_side(x, model.k_used, X_new, which));
        out.x_scores = std::move(*t);
    }
    if (which == Pls3Which::y_scores || which == Pls3Which::both) {
        const Side y{"y_new", "v_saliences", "y_mean/y_scale", model.V, model.Y_mean,
                     model.Y_scale};
        VELTRA_TRY(t, score_side(y, model.k_used, Y_new, which));
        out.y_scores = std::move(*t);
    }
    return out;
}

}  // namespace veltra
