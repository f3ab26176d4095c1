#include "veltra/resample/nr_split.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "veltra/correlation.hpp"
#include "veltra/lane_product.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/standardize.hpp"

namespace veltra::resample {

namespace {

// The norm of a block from its chunks' norms, safe from overflow: NaN when
// any is NaN, 0 without chunks.
double combined_norm(const std::vector<double>& norms) {
    double a = 0.0;
    for (const double v : norms) {
        if (std::isnan(v)) return v;
        a = std::max(a, std::fabs(v));
    }
    if (a == 0.0 || std::isinf(a)) return a;
    double s = 0.0;
    for (const double v : norms) s += (v / a) * (v / a);
    return a * std::sqrt(s);
}

// What the certification needs of a training response column: its
// weighted mean and scale, the norm of its standardised values times the
// row factors, and the norm of its centred values times the row factors.
struct ColumnMoments {
    double mean;
    double scale;
    double nu;
    double centred_norm;
};

// A block of response columns as lanes: row i at row i of the matrix.
using LaneRows = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The responses of a split: at the training rows each column centred with
// its weighted mean, times the row factors, with the moments the
// certification reads; at the test rows times their row factors. They
// enter the products centred: left uncentred, the mean times the centring
// residual of Z_train would move the prediction by far more than rounding.
// Few columns are held column by column for the fused pass, many as a
// response block of lanes, row by row, for the lane products.
struct SplitResponses {
    Eigen::MatrixXd centred;  // m x C, few columns
    LaneRows lanes;           // m x lane_ld(C), many columns
    std::vector<ColumnMoments> moments;
    Eigen::MatrixXd test;  // nt x C
};

bool fused_route(std::size_t columns) { return columns <= nr_fused_columns; }

SplitResponses split_responses(const Eigen::MatrixXd& outcomes, const RowSplit& rows) {
    const std::size_t m = rows.train.size(), nt = rows.test.size();
    const auto C = static_cast<std::size_t>(outcomes.cols());
    const bool fused = fused_route(C);
    const std::size_t ld = lane_ld(C);
    const SliceWeights& w = rows.w_train;
    SplitResponses out;
    if (!fused) {
        out.lanes.resize(to_index(m), to_index(ld));
        out.lanes.rightCols(to_index(ld - C)).setZero();
    }
    out.test.resize(to_index(nt), to_index(C));
    out.moments.reserve(C);
    Eigen::VectorXd y_c(to_index(m));
    // Eight centred columns at a time, written to the lanes a row at once.
    Eigen::MatrixXd centred(to_index(m), to_index(fused ? C : 8));
    const std::size_t n = static_cast<std::size_t>(outcomes.rows());
    for (std::size_t c = 0; c < C; ++c) {
        // Both halves of a column while it is in cache; the rows are
        // scattered, so the next column is fetched meanwhile, a line every
        // eight rows gathered.
        const double* col = outcomes.col(to_index(c)).data();
        const double* next = c + 1 < C ? col + n : nullptr;
        for (std::size_t i = 0; i < m; ++i) {
            if (next && i % 8 == 0) __builtin_prefetch(next + i);
            y_c[to_index(i)] = col[rows.train[i]];
        }
        double* te = out.test.col(to_index(c)).data();
        for (std::size_t i = 0; i < nt; ++i) {
            if (next && i % 8 == 0) __builtin_prefetch(next + m + i);
            te[i] = col[rows.test[i]];
        }
        if (rows.w_test.root) out.test.col(to_index(c)).array() *= rows.w_test.root->array();
        Standardized1 s1 = standardize1_mean_one(VecView::of(y_c), w.moment_view());
        if (w.root) s1.y_std.array() *= w.root->array();
        auto yc = centred.col(to_index(fused ? c : c % 8));
        yc = y_c.array() - s1.mean;
        if (w.root) yc.array() *= w.root->array();
        out.moments.push_back({s1.mean, s1.scale, stable_norm(VecView::of(s1.y_std)),
                               stable_norm(VecView{yc.data(), m, 1})});
        if (!fused && (c % 8 == 7 || c + 1 == C)) {
            const Eigen::Index c0 = to_index(c / 8 * 8), width = to_index(c % 8 + 1);
            out.lanes.middleCols(c0, width) = centred.leftCols(width);
        }
    }
    if (fused) out.centred = std::move(centred);
    return out;
}

// The no-refit predictions Z_test Z_train' Y of every column, formed chunk
// by chunk of X, with the norms of the two blocks and what the weighted
// centring of Z_train left over (the certification's rounding terms).
struct NoRefitProducts {
    Eigen::MatrixXd pred;  // nt x C, few columns
    LaneRows lanes;        // nt x lane_ld(C), many columns
    double z_tr = 0.0, z_te = 0.0;
    double residual = 0.0;   // the norm of the centring residual
    double root_mass = 0.0;  // the square root of the training weights' sum

    // Columns [c0, c0 + w) of the prediction.
    MatView columns(std::size_t c0, std::size_t w) const {
        if (lanes.size() == 0) return MatView::of(pred).columns(c0, w);
        return {lanes.data() + c0, static_cast<std::size_t>(lanes.rows()), w,
                static_cast<std::ptrdiff_t>(lanes.cols()), 1};
    }
};

double root_mass(const RowSplit& rows) {
    const double mass =
        rows.w_train.w ? rows.w_train.w->sum() : static_cast<double>(rows.train.size());
    return std::sqrt(mass);
}

// Few response columns: the engine's one pass per block of columns, whose
// products are matrix-vector work that needs no written blocks.
NoRefitProducts fused_products(MatView x, const RowSplit& rows, const Eigen::MatrixXd& y_train) {
    SplitProducts sp = split_products(x, rows, y_train);
    return {std::move(sp.pred), {}, sp.z_tr, sp.z_te, sp.residual, root_mass(rows)};
}

// Many response columns: standardised blocks of a chunk of columns, so
// that the products are matrix-matrix work, with the responses as the
// lanes of wide vectors.
NoRefitProducts chunked_products(MatView x, const RowSplit& rows, const SplitResponses& y,
                                 bool gram) {
    const std::size_t m = rows.train.size(), nt = rows.test.size(), p = x.cols;
    const auto C = static_cast<std::size_t>(y.test.cols());
    const std::size_t ld = lane_ld(C);
    const std::optional<Eigen::VectorXd>& root = rows.w_train.root;
    NoRefitProducts out{{}, LaneRows(to_index(nt), to_index(ld)), 0.0, 0.0, 0.0, 0.0};
    Eigen::MatrixXd gram_te_tr;
    if (gram) gram_te_tr = Eigen::MatrixXd::Zero(to_index(nt), to_index(m));
    const std::size_t width = nr_chunk_width(std::max(m, nt), C);
    std::vector<double> zy(gram ? 0 : std::min(width, p) * ld);
    std::vector<double> tr_norms, te_norms;
    double residual = 0.0;
    for (std::size_t j0 = 0; j0 < p; j0 += width) {
        const SplitBlocks b = split_blocks(x.columns(j0, std::min(width, p - j0)), rows);
        tr_norms.push_back(b.fro);
        te_norms.push_back(stable_norm(MatView::of(b.test)));
        if (gram) {
            gram_te_tr.noalias() += b.test * b.train.transpose();
        } else {
            lane_product(MatView::of(b.train).transposed(), y.lanes.data(), ld, zy.data(), false);
            lane_product(MatView::of(b.test), zy.data(), ld, out.lanes.data(), j0 > 0);
        }
        // What the weighted centring left over: it multiplies the response
        // mean, which the no-refit form does not remove.
        for (Eigen::Index j = 0; j < b.train.cols(); ++j) {
            double s = 0.0;
            for (std::size_t i = 0; i < m; ++i)
                s += (root ? (*root)[to_index(i)] : 1.0) * b.train(to_index(i), j);
            residual += s * s;
        }
    }
    if (gram) lane_product(MatView::of(gram_te_tr), y.lanes.data(), ld, out.lanes.data(), false);
    out.z_tr = combined_norm(tr_norms);
    out.z_te = combined_norm(te_norms);
    out.residual = std::sqrt(residual);
    out.root_mass = root_mass(rows);
    return out;
}

NoRefitProducts no_refit_products(MatView x, const RowSplit& rows, const SplitResponses& y,
                                  bool gram) {
    if (fused_route(static_cast<std::size_t>(y.test.cols())))
        return fused_products(x, rows, y.centred);
    return chunked_products(x, rows, y, gram);
}

// The prescaled sums of a column's prediction and test responses, and
// their cross sum.
struct TestSums {
    PrescaledSums pred, y;
    double cross;
};

// Column c's correlation when its rounding bound lets the no-refit
// prediction vouch for it; empty otherwise.

std::optional<double> certified_r(const NoRefitProducts& prod, const TestSums& ts,
                                  const SplitResponses& y, const RowSplit& rows, std::size_t p,
                                  std::size_t c) {
    const std::size_t m = rows.train.size(), nt = rows.test.size();
    const double root_mass = prod.root_mass;
    const double tau = flat_share(static_cast<double>(nt));
    const double md = static_cast<double>(m), ntd = static_cast<double>(nt);
    const double z_tr = prod.z_tr, z_te = prod.z_te;
    const PrescaledSums &sp = ts.pred, &sy = ts.y;
    if (sy.centred <= tau * sy.raw) return 0.0;
    const ColumnMoments& st = y.moments[c];
    if (st.nu == 0.0) return 0.0;
    const double ytr_norm = st.centred_norm;
    const double p_norm = std::sqrt(sp.raw) / sp.scale;
    const double p_spread = std::sqrt(sp.centred) / sp.scale;
    const double ybar = std::fabs(st.mean);
    const double bound = z_te * (prod.residual + md * eps * z_tr * root_mass) * ybar +
                         (ntd + 2.0) * eps * p_norm +
                         z_tr * (static_cast<double>(p) + md + 4.0) * eps * z_te *
                             (root_mass * ybar + ytr_norm);
    if (!(p_spread >= 8.0 * bound)) return std::nullopt;
    const double lead = (p_spread - bound) / (z_te * st.scale);
    const double floor = 8.0 * static_cast<double>(std::max(p, m)) * eps * z_tr * st.nu;
    if (!(lead >= 1e-12 && lead >= floor)) return std::nullopt;
    if (!((lead / st.nu) * (lead / st.nu) >= 1e-12) || sp.centred <= tau * sp.raw)
        return std::nullopt;
    return std::clamp(ts.cross / std::sqrt(sp.centred * sy.centred), -1.0, 1.0);
}

}  // namespace

Eigen::MatrixXd nr_outcome_matrix(VecView y, std::span<const std::vector<std::uint64_t>> perms) {
    const double s = pow2_prescale(y);
    Eigen::MatrixXd out(to_index(y.len), to_index(perms.size() + 1));
    for (std::size_t i = 0; i < y.len; ++i) out(to_index(i), 0) = s * y[i];
    for (std::size_t c = 0; c < perms.size(); ++c)
        for (std::size_t i = 0; i < y.len; ++i) out(to_index(i), to_index(c + 1)) = s * y[perms[c][i]];
    return out;
}

std::size_t nr_chunk_width(std::size_t rows, std::size_t columns) {
    const std::size_t small =
        std::max<std::size_t>(8, (65536 / (8 * std::max<std::size_t>(rows, 1))) / 8 * 8);
    return std::max(small, std::min<std::size_t>(128, columns / 4 / 8 * 8));
}

std::uint64_t nr_split_bytes(std::uint64_t m, std::uint64_t nt, std::uint64_t columns, bool gram) {
    // The training response block and the prediction block (rows of lanes
    // for many columns, the training block formed eight columns at a time),
    // the test response block, and per column its moments and its result.
    const bool fused = fused_route(static_cast<std::size_t>(columns));
    const std::uint64_t ld = fused ? columns : lane_ld(static_cast<std::size_t>(columns));
    std::uint64_t bytes = sat_add(block_bytes(m, ld), block_bytes(nt, ld));
    bytes = sat_add(bytes, block_bytes(nt, columns));
    if (!fused) bytes = sat_add(bytes, block_bytes(m, 8));
    bytes = sat_add(bytes, sat_mul(columns, sizeof(ColumnMoments) + sizeof(std::optional<double>)));
    if (fused) {
        bytes = sat_add(bytes, split_products_bytes(m, nt, columns));
    } else {
        const std::uint64_t width =
            nr_chunk_width(std::max<std::uint64_t>({m, nt, 1}), static_cast<std::size_t>(columns));
        // One chunk of each half, and Z_tr' Y_train of the chunk or the
        // Gram matrix with the packing of its product.
        bytes = sat_add(bytes, sat_add(block_bytes(m, width), block_bytes(nt, width)));
        bytes = sat_add(bytes, gram ? sat_add(block_bytes(nt, m), product_packing_bytes)
                                    : block_bytes(width, ld));
    }
    // The weight slices with their roots, and a response column gathered,
    // standardised and centred.
    return sat_add(bytes, sat_add(block_bytes(m, 6), block_bytes(nt, 3)));
}

bool nr_gram_flag(std::size_t n, std::size_t m, std::size_t p, std::size_t columns) {
    const auto d = [](std::size_t v) { return static_cast<double>(v); };
    return d(m) * d(n - m) * (d(columns) + d(p)) < d(n) * d(p) * d(columns);
}

std::vector<std::optional<double>> nr_split_r(MatView x, const Eigen::MatrixXd& outcomes,
                                              const SplitIdx& split,
                                              std::optional<VecView> weights, bool gram) {
    const auto C = static_cast<std::size_t>(outcomes.cols());
    const RowSplit rows = row_split(split, weights);
    // Without effective rows the refit route decides (it fails the split).
    if (rows.massless()) return std::vector<std::optional<double>>(C);
    if (rows.test.empty()) return std::vector<std::optional<double>>(C, 0.0);
    const SplitResponses y = split_responses(outcomes, rows);
    const NoRefitProducts prod = no_refit_products(x, rows, y, gram);
    std::vector<std::optional<double>> out(C);
    // The test half's sums, eight columns at a time.
    std::array<PrescaledSums, sums_lanes> sp, sy;
    std::array<double, sums_lanes> cross;
    for (std::size_t c0 = 0; c0 < C; c0 += sums_lanes) {
        const std::size_t w = std::min(sums_lanes, C - c0);
        const MatView pred = prod.columns(c0, w), test = MatView::of(y.test).columns(c0, w);
        prescaled_sums_lanes(pred, sp.data());
        prescaled_sums_lanes(test, sy.data());
        prescaled_cross_lanes(pred, sp.data(), test, sy.data(), cross.data());
        for (std::size_t l = 0; l < w; ++l)
            out[c0 + l] = certified_r(prod, {sp[l], sy[l], cross[l]}, y, rows, x.cols, c0 + l);
    }
    return out;
}

std::vector<SplitR> split_nb_correlations_nr(MatView x, VecView y,
                                             std::span<const SplitIdx> splits,
                                             std::optional<VecView> weights) {
    const std::size_t n = x.rows, p = x.cols;
    const std::size_t m = std::min(std::max<std::size_t>(n / 2, 3), n - 3);
    const Eigen::MatrixXd outcomes = nr_outcome_matrix(y, {});
    const bool gram = nr_gram_flag(n, m, p, 1);
    const std::uint64_t bytes = nr_split_bytes(m, n - m, 1, gram);
    PendingTable<SplitR> table = map_units(splits.size(), bytes, [&](std::size_t j) {
        const auto r = nr_split_r(x, outcomes, splits[j], weights, gram);
        std::vector<std::optional<SplitR>> row(1);
        if (r[0]) row[0] = SplitR{*r[0], true};
        return row;
    });
    const auto filled = fill_pending(std::move(table), split_refit_bytes(splits, p, 1),
                                     [&](std::size_t u, std::span<const std::size_t>) {
                                         return std::vector<SplitR>{
                                             split_half_r(x, y, 1, splits[u], weights, std::nullopt)};
                                     });
    std::vector<SplitR> out(filled.size());
    for (std::size_t j = 0; j < filled.size(); ++j) out[j] = filled[j][0];
    return out;
}

}  // namespace veltra::resample
