#include "veltra/row_split.hpp"

#include <algorithm>
#include <cmath>

#include "veltra/error.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"

namespace veltra {

namespace {

std::optional<VecView> view_of(const std::optional<Eigen::VectorXd>& v) {
    if (!v) return std::nullopt;
    return VecView::of(*v);
}

Eigen::VectorXd gather(VecView y, RowList rows) {
    Eigen::VectorXd out(to_index(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        internal_check(rows[i] < y.len, "split row index beyond the vector");
        out[to_index(i)] = y[rows[i]];
    }
    return out;
}

}  // namespace

SliceWeights SliceWeights::mean_one(Eigen::VectorXd w) {
    SliceWeights out;
    out.root = sqrt_col(VecView::of(w));
    out.moments = renormalize_mean_one(VecView::of(w));
    out.w = std::move(w);
    return out;
}

std::optional<VecView> SliceWeights::w_view() const { return view_of(w); }
std::optional<VecView> SliceWeights::root_view() const { return view_of(root); }
std::optional<VecView> SliceWeights::moment_view() const { return view_of(moments); }

bool has_no_weight(VecView w) {
    for (std::size_t i = 0; i < w.size(); ++i)
        if (w[i] > 0.0) return false;
    return true;
}

SliceWeights slice_weights(std::optional<VecView> weights, RowList rows) {
    if (!weights || rows.empty()) return {};
    Eigen::VectorXd w = gather(*weights, rows);
    if (has_no_weight(VecView::of(w))) {
        SliceWeights out;
        out.massless = true;
        return out;
    }
    double sum = 0.0;
    for (Eigen::Index i = 0; i < w.size(); ++i) sum += w[i];
    double spread = 0.0;
    for (Eigen::Index i = 0; i < w.size(); ++i) {
        w[i] = w[i] * static_cast<double>(rows.size()) / sum;
        spread = std::max(spread, std::fabs(w[i] - 1.0));
    }
    if (spread < 1e-12) return {};
    return SliceWeights::mean_one(std::move(w));
}

RowSplit row_split(const SplitIdx& split, std::optional<VecView> weights, bool weigh_test) {
    RowSplit out{split.train, split.test, slice_weights(weights, split.train), {}};
    if (weigh_test) out.w_test = slice_weights(weights, split.test);
    return out;
}

SplitBlocks split_blocks(MatView x, RowList train, RowList test, const SliceWeights& w_train,
                         const SliceWeights& w_test, const SplitPrep& how) {
    const std::optional<VecView> root_train = how.row_factors ? w_train.root_view() : std::nullopt;
    const std::optional<VecView> root_test = how.row_factors ? w_test.root_view() : std::nullopt;
    StandardizedFro tr = standardize_columns(x, train, w_train.moment_view(), root_train);
    SplitBlocks out;
    out.test =
        standardize_apply_rows(x, test, VecView::of(tr.mean), VecView::of(tr.scale), root_test);
    out.fro = how.norm_of_block ? stable_norm(MatView::of(tr.x_std)) : tr.fro;
    out.train = std::move(tr.x_std);
    out.mean = std::move(tr.mean);
    out.scale = std::move(tr.scale);
    return out;
}

PreparedSplit prepare_split(MatView x, const SplitIdx& split, std::optional<VecView> weights,
                            const SplitPrep& how) {
    RowSplit rows = row_split(split, weights);
    SplitBlocks b = split_blocks(x, rows, how);
    const bool finite = b.all_finite();
    return {std::move(b.train),      std::move(b.test),       std::move(b.mean), std::move(b.scale),
            std::move(rows.w_train), std::move(rows.w_test), b.fro,             finite};
}

Eigen::VectorXd split_train_target(const SliceWeights& w_train, RowList train, VecView y) {
    const Eigen::VectorXd raw = gather(y, train);
    Eigen::VectorXd out = standardize1_mean_one(VecView::of(raw), w_train.moment_view()).y_std;
    if (w_train.root) out.array() *= w_train.root->array();
    return out;
}

Eigen::VectorXd split_test_target(const SliceWeights& w_test, RowList test, VecView y) {
    Eigen::VectorXd out = gather(y, test);
    if (w_test.root) out.array() *= w_test.root->array();
    return out;
}

std::uint64_t split_blocks_bytes(std::uint64_t m, std::uint64_t nt, std::uint64_t p) {
    return sat_add(block_bytes(m, p), block_bytes(nt, p));
}

std::uint64_t split_blocks_bytes(std::span<const SplitIdx> splits, std::uint64_t p) {
    std::uint64_t most = 0;
    for (const SplitIdx& s : splits)
        most = std::max(most, split_blocks_bytes(s.train.size(), s.test.size(), p));
    return most;
}

std::uint64_t prepared_split_bytes(std::span<const SplitIdx> splits, std::uint64_t p) {
    const std::uint64_t n = splits.empty() ? 0 : splits[0].train.size() + splits[0].test.size();
    // Means, scales and norm terms; per row the weights, their roots, their
    // moment weights and a gathered copy; eight gathered columns.
    const std::uint64_t small =
        sat_add(block_bytes(p, 3), sat_add(block_bytes(n, 6), block_bytes(n, 8)));
    return sat_add(split_blocks_bytes(splits, p), small);
}

std::uint64_t refit_bytes(std::uint64_t n, std::uint64_t m, std::uint64_t p, std::uint64_t k) {
    const std::uint64_t nt = n - std::min(m, n);
    const std::uint64_t rows =
        sat_add(block_bytes(n, 2), sat_add(block_bytes(m, 2), block_bytes(nt, 2)));
    return sat_add(rows, prepared_fit_bytes(m, p, k));
}

std::uint64_t split_refit_bytes(std::span<const SplitIdx> splits, std::uint64_t p,
                                std::uint64_t k, std::uint64_t columns) {
    if (splits.empty()) return prepared_split_bytes(splits, p);
    const std::uint64_t m = splits[0].train.size(), n = m + splits[0].test.size();
    return sat_add(prepared_split_bytes(splits, p), sat_mul(columns, refit_bytes(n, m, p, k)));
}

}  // namespace veltra
