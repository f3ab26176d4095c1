#include "veltra/select/cv_folds.hpp"

#include <algorithm>
#include <utility>

#include "veltra/fit.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/fold_split.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/resample/cv_fold.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/weights.hpp"

namespace veltra::select {

using namespace veltra::resample;
namespace {

// Validation rows per prediction block: about 2 MiB of p raw columns, a
// multiple of 8, at least 8.
std::uint64_t cv_block_rows(std::uint64_t p) {
    const std::uint64_t rows = 2097152 / sat_mul(8, std::max<std::uint64_t>(p, 1)) / 8 * 8;
    return std::max<std::uint64_t>(rows, 8);
}

bool finite_fit(const PreparedFit& fit) {
    return fit.W.allFinite() && fit.R.allFinite() && fit.P.allFinite() && fit.Q.allFinite() &&
           fit.T.allFinite() && fit.coef.allFinite();
}

}  // namespace

CvFolds cv_folds(std::size_t n, std::size_t f, ChaCha8Rng& rng) {
    const std::vector<std::uint64_t> order = shuffled_rows(n, rng);
    return fold_split(order, f);
}

Par cv_par(std::uint64_t n, std::uint64_t p, std::uint64_t k) {
    return sat_mul(sat_mul(n, p), k) <= small_work_max ? par_sequential : par_parallel;
}

std::uint64_t cv_fold_bytes(std::uint64_t p, std::uint64_t k, std::uint64_t v_max) {
    const std::uint64_t p8 = ceil8(p);
    const std::uint64_t c = cv_block_rows(p);
    const std::uint64_t m = v_max < c ? ceil8(v_max) : c;
    std::uint64_t bytes = sat_mul(sat_mul(40, p8), k);
    bytes = sat_add(bytes, sat_mul(32, p8));
    bytes = sat_add(bytes, sat_mul(sat_mul(8, p8), sat_add(k, 2)));
    return sat_add(bytes, sat_mul(sat_mul(8, m), p));
}

namespace {

// Peak bytes of prep_fold on n rows beyond X: the row lists, weights,
// targets, row multipliers and fitted response, and the column moments.
std::uint64_t prep_fold_bytes(MatView x, std::uint64_t n_train) {
    const std::uint64_t n = x.rows;
    return sat_add(block_bytes(n, 12), fit_x_moments_bytes(x, n_train, cv_par(n_train, x.cols, 1)));
}

// Peak bytes of one fold's fast pass: the blocks cv_fold_bytes counts, the
// prepared fold, the fit over all n rows of X and the k predictions with
// their product.
std::uint64_t fast_pass_bytes(MatView x, std::uint64_t n_train, std::uint64_t v_max,
                              std::uint64_t k) {
    const std::uint64_t n = x.rows, p = x.cols;
    std::uint64_t bytes = sat_add(cv_fold_bytes(p, k, v_max), prep_fold_bytes(x, n_train));
    bytes = sat_add(bytes, prepared_fit_bytes(n, p, k));
    return sat_add(bytes, sat_add(block_bytes(v_max, k), mat_mul_bytes(cv_block_rows(p), p, k)));
}

// Peak bytes of one fold's exact pass: the prepared fold, its two
// standardised blocks (and the weighted copy of the training one), the
// refit of k components on the training block and the rest of its model
// (k + 4 p-vectors, k - 1 training-row vectors), and the k predictions.
std::uint64_t exact_pass_bytes(MatView x, const CvFolds& folds, std::uint64_t n_train,
                               std::uint64_t v_max, std::uint64_t k, bool weighted) {
    const std::uint64_t n = x.rows, p = x.cols;
    std::uint64_t bytes = sat_add(prep_fold_bytes(x, n_train), fold_blocks_bytes(n, folds, p));
    if (weighted) bytes = sat_add(bytes, block_bytes(n_train, p));
    bytes = sat_add(bytes, refit_bytes(n_train, n_train, p, k));
    const std::uint64_t model = block_bytes(n_train, k > 0 ? k - 1 : 0);
    bytes = sat_add(bytes, sat_add(block_bytes(p, sat_add(k, 4)), model));
    return sat_add(bytes, block_bytes(v_max, k));
}

}  // namespace

Result<FoldData> prep_fold(const CvData& data, const CvFolds& folds, std::size_t f) {
    const std::size_t n = data.x.rows, p = data.x.cols;
    internal_check(data.y.len == n, "prep_fold: y and X differ in rows");
    FoldData fold;
    SplitIdx rows = fold_rows(folds, f);
    fold.train = std::move(rows.train);
    fold.val = std::move(rows.test);
    const std::size_t n_train = fold.train.size();

    if (data.weights) {
        // Validation rows without weight are scored as they stand.
        const Eigen::VectorXd w_val = col_row_subset(*data.weights, fold.val);
        if (!has_no_weight(VecView::of(w_val)))
            fold.w_val = renormalize_mean_one(VecView::of(w_val));
        // Training rows without weight are no rows at all: the fold cannot be
        // fitted, and is never fitted as if unweighted.
        const Eigen::VectorXd w_train = col_row_subset(*data.weights, fold.train);
        if (has_no_weight(VecView::of(w_train)))
            return fail(VeltraError::InvalidWeights{"all_zero"});
        const Eigen::VectorXd rescaled = renormalize_mean_one(VecView::of(w_train));
        VELTRA_TRY(norm, validate_and_normalize_weights(VecView::of(rescaled), n_train));
        if (norm->weights) fold.w_train = SliceWeights::mean_one(std::move(*norm->weights));
    }
    const std::optional<VecView> moments = fold.w_train.moment_view();

    fold.fx = fit_x_moments_mean_one(data.x, RowList(fold.train), moments, cv_par(n_train, p, 1));
    fold.ratio = mean_scale_ratio(fold.fx);
    const Eigen::VectorXd y_train = col_row_subset(data.y, fold.train);
    fold.y_train = standardize1_mean_one(VecView::of(y_train), moments);

    fold.y_val.resize(to_index(fold.val.size()));
    for (std::size_t i = 0; i < fold.val.size(); ++i)
        fold.y_val[to_index(i)] = (data.y[fold.val[i]] - fold.y_train.mean) / fold.y_train.scale;

    Eigen::VectorXd mult = Eigen::VectorXd::Zero(to_index(n));
    fold.fitted = Eigen::VectorXd::Zero(to_index(n));
    for (std::size_t i = 0; i < n_train; ++i) {
        const auto r = to_index(fold.train[i]);
        const double root = fold.w_train.root ? (*fold.w_train.root)[to_index(i)] : 1.0;
        mult[r] = root;
        fold.fitted[r] = root * fold.y_train.y_std[to_index(i)];
    }
    fold.fx.row_multipliers = std::move(mult);
    return fold;
}

std::vector<Eigen::VectorXd> FoldData::predict_in_place(MatView x,
                                                        std::span<const Eigen::VectorXd> coefs,
                                                        Par par) const {
    const std::size_t p = x.cols, k = coefs.size(), n_val = val.size();
    Eigen::MatrixXd b(to_index(p), to_index(k));
    Eigen::VectorXd offset(to_index(k));
    for (std::size_t c = 0; c < k; ++c) {
        internal_check(static_cast<std::size_t>(coefs[c].size()) == p,
                       "predict_in_place: a coefficient vector differs from the columns of X");
        double o = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            const auto jj = to_index(j);
            b(jj, to_index(c)) = coefs[c][jj] / fx.scale[jj];
            o += fx.mean[jj] * b(jj, to_index(c));
        }
        offset[to_index(c)] = o;
    }
    std::vector<Eigen::VectorXd> preds(k, Eigen::VectorXd(to_index(n_val)));
    if (k == 0) return preds;
    const std::size_t block = cv_block_rows(p);
    for (std::size_t start = 0; start < n_val; start += block) {
        const std::size_t len = std::min(block, n_val - start);
        const Eigen::MatrixXd rows = row_subset(x, RowList(val).subspan(start, len));
        const Eigen::MatrixXd prod = mat_mul(MatView::of(rows), MatView::of(b), par);
        for (std::size_t c = 0; c < k; ++c)
            for (std::size_t i = 0; i < len; ++i)
                preds[c][to_index(start + i)] = prod(to_index(i), to_index(c)) - offset[to_index(c)];
    }
    return preds;
}

double FoldData::ss_tot() const {
    const auto n_val = static_cast<double>(val.size());
    const Eigen::Index n = y_val.size();
    // A response that is constant over the fold has no spread: the rounding
    // of its mean must not pass for some (an R^2 of -1e33 would swamp every
    // other fold's score).
    std::optional<double> level;
    bool constant = n > 0;
    for (Eigen::Index i = 0; i < n && constant; ++i) {
        if (w_val && !((*w_val)[i] > 0.0)) continue;
        if (!level) level = y_val[i];
        constant = y_val[i] == *level;
    }
    if (constant) return 0.0;
    double sum = -0.0;
    for (Eigen::Index i = 0; i < n; ++i) sum += w_val ? (*w_val)[i] * y_val[i] : y_val[i];
    const double mean = sum / n_val;
    double ss = -0.0;
    for (Eigen::Index i = 0; i < n; ++i) {
        const double d = y_val[i] - mean;
        ss += w_val ? (*w_val)[i] * (d * d) : d * d;
    }
    return ss;
}

double FoldData::r2(const Eigen::VectorXd& pred, double ss_tot) const {
    internal_check(pred.size() == y_val.size(), "r2: prediction length differs from the fold");
    double ss_res = -0.0;
    for (Eigen::Index i = 0; i < pred.size(); ++i) {
        const double d = pred[i] - y_val[i];
        ss_res += w_val ? (*w_val)[i] * (d * d) : d * d;
    }
    return ss_tot > 0.0 ? 1.0 - ss_res / ss_tot : 0.0;
}

std::optional<PreparedFit> FoldData::fast_fit(MatView x, std::size_t k,
                                              std::optional<std::size_t> keep) const {
    // Beyond the ratio the exact pass forms the standardised block instead.
    if (!(ratio <= implicit_max_mean_ratio)) return std::nullopt;
    std::optional<PreparedFit> fit =
        pls1_fit_implicit(x, fx, VecView::of(fitted), k, keep, cv_par(x.rows, x.cols, k));
    if (!fit || !finite_fit(*fit)) return std::nullopt;
    return fit;
}

FoldBlocks FoldData::copy_blocks(MatView x) const {
    // The fit weighs the training rows itself, and validation rows are scored
    // as they stand: neither block is row-scaled.
    SplitBlocks b = split_blocks(x, train, val, w_train, {}, {.row_factors = false});
    return {std::move(b.train), std::move(b.test)};
}

Result<Pls1Model> FoldData::exact_fit(const FoldBlocks& blocks, std::size_t k,
                                      std::optional<std::size_t> keep) const {
    FitOpts opts;
    opts.keep = keep;
    opts.pre_standardized = true;
    return pls1_fit_impl(MatView::of(blocks.train), VecView::of(y_train.y_std), k,
                         w_train.w_view(), opts);
}

std::vector<Eigen::VectorXd> sweep_coefs(const Eigen::MatrixXd& w, const Eigen::MatrixXd& p,
                                         const Eigen::VectorXd& q, std::size_t k_used) {
    std::vector<Eigen::VectorXd> coefs;
    coefs.reserve(k_used);
    for (std::size_t k = 1; k <= k_used; ++k)
        coefs.push_back(pls1_coef_at_k(MatView::of(w), MatView::of(p), VecView::of(q), k));
    return coefs;
}

Result<std::vector<std::vector<double>>> cv_fold_scores(const CvData& data, const CvFolds& folds,
                                                        const FoldScorer& scorer) {
    using Slot = Result<double>;
    const std::size_t n_folds = folds.size(), columns = scorer.columns;
    auto fast_pass = [&](std::size_t f) {
        std::vector<std::optional<Slot>> slots(columns);
        auto fold = prep_fold(data, folds, f);
        auto values = fold ? scorer.fast(*fold) : std::unexpected(std::move(fold.error()));
        if (!values) {
            for (auto& s : slots) s.emplace(std::unexpected(values.error()));
            return slots;
        }
        internal_check(values->size() == columns, "the fast pass scores every column");
        for (std::size_t c = 0; c < columns; ++c)
            if ((*values)[c]) slots[c].emplace(*(*values)[c]);
        return slots;
    };
    // The largest validation fold, and the largest training set.
    std::uint64_t v_max = 0, v_min = data.x.rows;
    for (const auto& fold : folds) {
        v_max = std::max<std::uint64_t>(v_max, fold.size());
        v_min = std::min<std::uint64_t>(v_min, fold.size());
    }
    const std::uint64_t n_train = data.x.rows - v_min;
    PendingTable<Slot> table =
        map_units(n_folds, fast_pass_bytes(data.x, n_train, v_max, scorer.k), fast_pass);

    auto refill = [&](std::size_t f, std::span<const std::size_t> pending) {
        auto fold = prep_fold(data, folds, f);
        auto values =
            fold ? scorer.exact(*fold, pending) : std::unexpected(std::move(fold.error()));
        std::vector<Slot> out;
        if (!values) {
            out.assign(pending.size(), std::unexpected(values.error()));
            return out;
        }
        internal_check(values->size() == pending.size(), "a fit on the blocks always predicts");
        out.assign(values->begin(), values->end());
        return out;
    };
    const std::uint64_t exact_bytes =
        exact_pass_bytes(data.x, folds, n_train, v_max, scorer.k, data.weights.has_value());
    std::vector<std::vector<Slot>> filled = fill_pending(std::move(table), exact_bytes, refill);

    std::vector<std::vector<double>> scores(n_folds);
    for (std::size_t f = 0; f < n_folds; ++f)
        for (Slot& s : filled[f]) {
            if (!s) return std::unexpected(std::move(s.error()));
            scores[f].push_back(*s);
        }
    return scores;
}

}  // namespace veltra::select
