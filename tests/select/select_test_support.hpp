// The textbook cross-validation the search tests compare against: for each
// fold, a long-double NIPALS refit on the training rows standardised with
// their own weights, its R^2 on the validation rows, then mean and standard
// error over the folds.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "engine/pls_reference.hpp"
#include "resample/resample_test_support.hpp"
#include "veltra/select/cv_folds.hpp"
#include "veltra/select/find_k.hpp"

namespace select_test {

using pls_reference::LVec;
using Weights = std::optional<std::vector<double>>;

struct Design {
    Eigen::MatrixXd x;
    Eigen::VectorXd y;
    Weights w;
};

inline Design design(bool weighted, unsigned seed = 5, Eigen::Index n = 60, Eigen::Index p = 8) {
    auto d = pls_reference::latent_data(n, p, seed);
    return {d.x, d.y, weighted ? Weights(pls_reference::positive_weights(n, seed)) : Weights()};
}

inline std::optional<veltra::VecView> wview(const Weights& w) {
    if (!w) return std::nullopt;
    return veltra::VecView{w->data(), w->size(), 1};
}

// The rules applied to returned maps: the largest finite mean (ties to the
// larger key); with standard errors, the smallest key within one of it.
inline std::uint64_t rule_pick(const veltra::select::ScoreMap& mean,
                               const veltra::select::ScoreMap* se) {
    std::optional<std::uint64_t> best;
    for (const auto& [k, m] : mean)
        if (std::isfinite(m) && (!best || m >= mean.at(*best))) best = k;
    if (!best) return mean.begin()->first;
    if (!se) return *best;
    for (const auto& [k, m] : mean)
        if (std::isfinite(m) && m >= mean.at(*best) - se->at(*best)) return k;
    return mean.begin()->first;
}

// run() gives the same result on every thread count and memory budget.
template <class Run>
void expect_same_everywhere(Run run) {
    const auto reference = run();
    for (const char* budget : {"1", "20K", "2G"}) {
        resample_test::ScopedBudget scoped(budget);
        EXPECT_EQ(run(), reference) << budget;
        EXPECT_EQ(resample_test::on_one_thread(run), reference) << budget;
    }
}

// R^2 of fold f for the first 1 .. k_used components of a k-component fit.
inline std::vector<long double> ref_fold_r2(const Eigen::MatrixXd& x, const Eigen::VectorXd& y,
                                            const Weights& w, const veltra::select::CvFolds& folds,
                                            std::size_t f, Eigen::Index k,
                                            std::optional<Eigen::Index> keep = {}) {
    std::vector<std::size_t> train;
    for (std::size_t g = 0; g < folds.size(); ++g)
        if (g != f) train.insert(train.end(), folds[g].begin(), folds[g].end());
    const std::vector<std::size_t>& val = folds[f];
    Eigen::MatrixXd xt(train.size(), x.cols());
    Eigen::VectorXd yt(train.size());
    Weights wt;
    if (w) wt.emplace();
    for (std::size_t i = 0; i < train.size(); ++i) {
        xt.row(i) = x.row(train[i]);
        yt[i] = y[train[i]];
        if (w) wt->push_back((*w)[train[i]]);
    }
    const auto s = pls_reference::standardize(xt, yt, wt);
    const auto fit = pls_reference::nipals(s.xs, s.ys, k, keep);

    const auto nv = static_cast<long double>(val.size());
    LVec wv(val.size()), yv(val.size());
    for (std::size_t i = 0; i < val.size(); ++i) {
        wv[i] = w ? (*w)[val[i]] : 1.0;
        yv[i] = (y[val[i]] - s.y_mean) / s.y_sd;
    }
    wv *= nv / wv.sum();  // validation weights normalised to mean one
    const long double ybar = wv.dot(yv) / nv;
    const long double ss_tot = (wv.array() * (yv.array() - ybar).square()).sum();
    std::vector<long double> r2;
    for (Eigen::Index a = 1; a <= fit.k_used; ++a) {
        const LVec coef = pls_reference::coef_of(fit.W, fit.P, fit.Q, a);
        long double ss_res = 0;
        for (std::size_t i = 0; i < val.size(); ++i) {
            long double pred = 0;
            for (Eigen::Index j = 0; j < x.cols(); ++j)
                pred += (x(val[i], j) - s.mean[j]) / s.sd[j] * coef[j];
            ss_res += wv[i] * (pred - yv[i]) * (pred - yv[i]);
        }
        r2.push_back(1 - ss_res / ss_tot);
    }
    return r2;
}

struct MeanSe {
    long double mean, se;
};

inline MeanSe mean_se(const std::vector<long double>& v) {
    const auto m = static_cast<long double>(v.size());
    long double s = 0, ss = 0;
    for (long double x : v) s += x;
    for (long double x : v) ss += (x - s / m) * (x - s / m);
    return {s / m, std::sqrt(ss / (m - 1)) / std::sqrt(m)};
}

}  // namespace select_test
