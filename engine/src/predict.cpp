#include "veltra/predict.hpp"

#include "veltra/finite.hpp"
#include "xs_products.hpp"

namespace veltra {

Result<Eigen::VectorXd> pls1_predict(const Pls1Model& model, MatView x_new) {
    const std::size_t p = static_cast<std::size_t>(model.beta.size());
    if (x_new.cols != p) return fail(VeltraError::DimensionMismatch{p, x_new.rows, x_new.cols});
    VELTRA_CHECK(check_finite_mat(x_new));
    Eigen::VectorXd out = Eigen::VectorXd::Zero(to_index(x_new.rows));
    detail::x_times(x_new, model.beta.data(), out.data(), par_sequential);
    out.array() += model.intercept;
    return out;
}

}  // namespace veltra
