#include "veltra/resample/gate.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "veltra/finite.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/settings.hpp"
#include "veltra/standardize.hpp"
#include "veltra/weights.hpp"

namespace veltra::resample {

double standardized_stable_rank(MatView x, std::optional<VecView> weights) {
    const std::size_t n = x.rows, p = x.cols;
    if (n > p) {
        const Standardized z = standardize_weighted(x, weights);
        return stable_rank(MatView::of(z.x_std), par_parallel);
    }
    // Wide X: only the n x n Gram matrix is held, about 2 MiB of columns at a time.
    const std::size_t width =
        std::max<std::size_t>(8, (2097152 / (std::max<std::size_t>(n, 1) * 8)) / 8 * 8);
    std::vector<std::uint64_t> rows(n);
    std::iota(rows.begin(), rows.end(), std::uint64_t{0});
    Eigen::MatrixXd g = Eigen::MatrixXd::Zero(to_index(n), to_index(n));
    for (std::size_t j0 = 0; j0 < p; j0 += width) {
        const MatView chunk{x.data + static_cast<std::ptrdiff_t>(j0) * x.col_stride, n,
                            std::min(width, p - j0), x.row_stride, x.col_stride};
        const StandardizedFro z = standardize_rows_fro(chunk, rows, weights);
        g.noalias() += z.x_std * z.x_std.transpose();
    }
    return stable_rank_from_gram(MatView::of(g), par_parallel);
}

GateVerdict resolve_split_nb(MatView x, std::optional<VecView> weights, double n_eff, bool force) {
    const double sr = standardized_stable_rank(x, weights);
    const bool fires = n_eff < 25.0 || sr < 3.0 || std::isnan(sr) || x.cols < 5;
    return {sr, fires, fires && !force};
}

AutoChoice resolve_auto(MatView x, std::optional<VecView> weights, double n_eff, bool flag) {
    const double n = static_cast<double>(x.rows), p = static_cast<double>(x.cols);
    if (n_eff < 250.0 || x.cols <= 4) return {ConfirmatoryMethod::split_exact, std::nullopt};
    if (flag && p > 100.0 * n) return {ConfirmatoryMethod::split_exact, std::nullopt};
    const GateVerdict v = resolve_split_nb(x, weights, n_eff, false);
    return {v.reroute ? ConfirmatoryMethod::split_exact : ConfirmatoryMethod::split_nb,
            v.stable_rank};
}

ResolvedMethod resolve_method(const ConfirmatoryArgs& requested, MatView x,
                              std::optional<VecView> weights, double n_eff, bool flag) {
    ResolvedMethod r{requested, std::nullopt};
    if (requested.method == ConfirmatoryMethod::split_nb) {
        const GateVerdict gate = resolve_split_nb(x, weights, n_eff, requested.force);
        r.stable_rank = gate.stable_rank;
        if (gate.reroute) {
            r.test.method = ConfirmatoryMethod::split_exact;
            r.test.n_perm = rerouted_n_perm;
        }
    } else if (requested.method == ConfirmatoryMethod::auto_) {
        const AutoChoice choice = resolve_auto(x, weights, n_eff, flag);
        r.test.method = choice.method;
        r.stable_rank = choice.stable_rank;
    }
    return r;
}

Result<SplitNbGateOutput> split_nb_gate(MatView x, std::optional<VecView> weights) {
    return run_entry([&]() -> Result<SplitNbGateOutput> {
        if (!all_finite(x)) return fail(VeltraError::NonFiniteInput{});
        VELTRA_TRY(w, validate_and_normalize_weights(weights, x.rows));
        std::optional<VecView> used;
        if (w->weights) used = VecView::of(*w->weights);
        const GateVerdict v = resolve_split_nb(x, used, w->n_eff, false);
        return SplitNbGateOutput{v.fires, v.stable_rank, w->n_eff};
    });
}

}  // namespace veltra::resample
