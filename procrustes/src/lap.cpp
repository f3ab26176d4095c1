#include "lap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace veltra::procrustes {

namespace {

constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
constexpr double infinity = std::numeric_limits<double>::infinity();
// Reduced costs closer than this (an absolute bound, the double-precision
// epsilon) count as equal when the path search widens its frontier.
constexpr double tie_tolerance = 2.220446049250313e-16;

// The matching stays consistent by construction, so a missing row or column
// here is a broken invariant: it ends the call instead of reading out of
// bounds, whatever values (NaN included) the costs hold.
[[noreturn]] void unreachable(std::string_view what) {
    throw std::logic_error("internal error: entered unreachable code: " + std::string(what));
}

// The path search's tolerance is absolute, which presumes costs of order
// one: on costs near 1e-16 it would take unequal path lengths for equal ones
// and return a far worse assignment, and near the overflow limit the reduced
// costs overflow. The search therefore runs on the costs scaled by the power
// of two that brings the largest finite magnitude into [1/2, 1). The scaling
// is exact (but for magnitudes some 1e-308 below the largest), so it keeps
// the optimal assignments, and it leaves costs that already lie there as
// they are.
std::vector<double> order_one(std::vector<double> cost) {
    double largest = 0.0;
    for (double c : cost)
        if (std::isfinite(c)) largest = std::max(largest, std::abs(c));
    int exponent = 0;
    std::frexp(largest, &exponent);
    if (exponent != 0)
        for (double& c : cost) c = std::ldexp(c, -exponent);
    return cost;
}

class Assignment {
  public:
    Assignment(std::vector<double> cost, std::size_t k)
        : cost_(std::move(cost)), k_(k), x_(k, none), y_(k, none), v_(k) {}

    std::vector<std::size_t> solve() {
        std::vector<std::size_t> free = reduce_columns();
        for (int pass = 0; pass < 2 && !free.empty(); ++pass) augment_row_reduction(free);
        for (std::size_t f : free) augment(f);
        std::vector<std::size_t> rows(k_);
        for (std::size_t j = 0; j < k_; ++j) rows[j] = row_of(j);
        return rows;
    }

  private:
    double c(std::size_t i, std::size_t j) const { return cost_[i * k_ + j]; }

    std::size_t row_of(std::size_t j) const {
        if (y_[j] == none) unreachable("lap: column without a row where one is required");
        return y_[j];
    }

    // Column reduction and reduction transfer; returns the unassigned rows.
    std::vector<std::size_t> reduce_columns() {
        for (std::size_t j = 0; j < k_; ++j) {
            v_[j] = c(0, j);
            y_[j] = 0;
            for (std::size_t i = 1; i < k_; ++i)
                if (c(i, j) < v_[j]) {
                    v_[j] = c(i, j);
                    y_[j] = i;
                }
        }
        // A row that is the minimum of several columns keeps the highest one.
        std::vector<char> unique(k_, 1);
        for (std::size_t j = k_; j-- > 0;) {
            const std::size_t i = y_[j];
            if (x_[i] == none) {
                x_[i] = j;
            } else {
                unique[i] = 0;
                y_[j] = none;
            }
        }
        std::vector<std::size_t> free;
        for (std::size_t i = 0; i < k_; ++i) {
            if (x_[i] == none) {
                free.push_back(i);
            } else if (unique[i]) {
                double least = infinity;
                for (std::size_t j = 0; j < k_; ++j)
                    if (j != x_[i] && c(i, j) - v_[j] < least) least = c(i, j) - v_[j];
                v_[x_[i]] -= least;
            }
        }
        return free;
    }

    // One pass of augmenting row reduction; cuts `free` to the rows it leaves
    // unassigned.
    void augment_row_reduction(std::vector<std::size_t>& free) {
        std::size_t current = 0, kept = 0, steps = 0;
        while (current < free.size()) {
            ++steps;
            const std::size_t i = free[current++];
            std::size_t j1 = 0, j2 = none;
            double u1 = c(i, 0) - v_[0], u2 = infinity;
            for (std::size_t j = 1; j < k_; ++j) {
                const double cr = c(i, j) - v_[j];
                if (cr < u2) {
                    if (cr >= u1) {
                        u2 = cr;
                        j2 = j;
                    } else {
                        u2 = u1;
                        j2 = j1;
                        u1 = cr;
                        j1 = j;
                    }
                }
            }
            std::size_t i0 = y_[j1];
            // Bounds the passes: past current * k steps a displaced row is
            // only set aside, never treated again at once.
            if (steps < current * k_) {
                const double lowered = v_[j1] - (u2 - u1);
                if (lowered < v_[j1]) {
                    v_[j1] = lowered;
                    if (i0 != none) free[--current] = i0;
                } else {
                    if (i0 != none && j2 != none) {
                        j1 = j2;
                        i0 = y_[j2];
                    }
                    if (i0 != none) free[kept++] = i0;
                }
            } else if (i0 != none) {
                free[kept++] = i0;
            }
            x_[i] = j1;
            y_[j1] = i;
        }
        free.resize(kept);
    }

    // Shortest augmenting path from the free row f, then the dual update and
    // the augmentation along it.
    void augment(std::size_t f) {
        std::vector<std::size_t> cols(k_), pred(k_, f);
        std::vector<double> d(k_);
        for (std::size_t j = 0; j < k_; ++j) {
            cols[j] = j;
            d[j] = c(f, j) - v_[j];
        }
        std::size_t lo = 0, hi = 0, ready = 0, end = none;
        while (end == none) {
            if (lo == hi) {
                // A free row leaves at least one free column, so the columns
                // already settled never fill the list.
                if (lo >= k_) unreachable("lap: path search ran out of columns");
                ready = lo;
                hi = lo + 1;
                double mind = d[cols[lo]];
                for (std::size_t t = lo + 1; t < k_; ++t) {
                    const std::size_t j = cols[t];
                    if (d[j] <= mind) {
                        if (d[j] < mind) {
                            hi = lo;
                            mind = d[j];
                        }
                        cols[t] = cols[hi];
                        cols[hi++] = j;
                    }
                }
                for (std::size_t t = lo; t < hi; ++t)
                    if (y_[cols[t]] == none) end = cols[t];
            }
            while (end == none && lo != hi) {
                const std::size_t j = cols[lo++];
                const std::size_t i = row_of(j);
                // The minimum is read again from the scanned column: columns
                // taken in within the tolerance may sit just off it.
                const double mind = d[j];
                const double h = c(i, j) - v_[j] - mind;
                for (std::size_t t = hi; t < k_ && end == none; ++t) {
                    const std::size_t jn = cols[t];
                    const double cr = c(i, jn) - v_[jn] - h;
                    if (cr < d[jn]) {
                        d[jn] = cr;
                        pred[jn] = i;
                        if (std::abs(cr - mind) < tie_tolerance) {
                            if (y_[jn] == none) {
                                end = jn;
                            } else {
                                cols[t] = cols[hi];
                                cols[hi++] = jn;
                            }
                        }
                    }
                }
            }
        }
        const double mind = d[cols[ready]];
        for (std::size_t t = 0; t < ready; ++t) v_[cols[t]] += d[cols[t]] - mind;

        std::size_t j = end;
        for (std::size_t steps = 1;; ++steps) {
            if (steps > k_)
                unreachable("ca: augmenting path exceeded k steps on a valid square matrix");
            if (j >= k_) unreachable("lap: augmenting path reached a row without a column");
            const std::size_t i = pred[j];
            y_[j] = i;
            std::swap(j, x_[i]);
            if (i == f) break;
        }
    }

    std::vector<double> cost_;
    std::size_t k_;
    std::vector<std::size_t> x_, y_;  // column of each row, row of each column
    std::vector<double> v_;           // column duals
};

}  // namespace

std::vector<std::size_t> lap(const std::vector<double>& cost, std::size_t k) {
    return Assignment(order_one(cost), k).solve();
}

}  // namespace veltra::procrustes
