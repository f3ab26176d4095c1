#include "veltra/procrustes/signed_permutation.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "lap.hpp"

namespace veltra::procrustes {

namespace {

// Below this many columns every order is tried (at most 3! = 6).
constexpr std::size_t first_assignment_k = 4;

// C[i][j] = column i of a . column j of reference, row-major, each sum over
// the rows in order from the first.
std::vector<double> cross_products(const MatrixView& a, const MatrixView& reference) {
    const auto p = static_cast<std::size_t>(a.rows());
    const auto k = static_cast<std::size_t>(a.cols());
    std::vector<double> cross(k * k, 0.0);
    for (std::size_t r = 0; r < p; ++r)
        for (std::size_t i = 0; i < k; ++i) {
            const double ari = a(r, i);
            for (std::size_t j = 0; j < k; ++j) cross[i * k + j] += ari * reference(r, j);
        }
    return cross;
}

std::vector<double> squared_column_norms(const MatrixView& m) {
    std::vector<double> norms(static_cast<std::size_t>(m.cols()), 0.0);
    for (Eigen::Index r = 0; r < m.rows(); ++r)
        for (std::size_t c = 0; c < norms.size(); ++c) {
            const double v = m(r, static_cast<Eigen::Index>(c));
            norms[c] += v * v;
        }
    return norms;
}

// Tries every order of k < 4 columns in Heap's order (recursive form, one
// buffer permuted in place); the first maximum wins and a NaN score never
// does.
class Enumeration {
  public:
    Enumeration(const std::vector<double>& cross, std::size_t k) : cross_(cross), k_(k) {
        std::iota(candidate_.begin(), candidate_.begin() + k, std::size_t{0});
        best_.assign(candidate_.begin(), candidate_.begin() + k);
    }

    std::vector<std::size_t> best() && {
        generate(k_);
        return std::move(best_);
    }

  private:
    void generate(std::size_t m) {
        if (m == 1) return evaluate();
        generate(m - 1);
        for (std::size_t i = 0; i + 1 < m; ++i) {
            std::swap(candidate_[m % 2 == 0 ? i : 0], candidate_[m - 1]);
            generate(m - 1);
        }
    }

    void evaluate() {
        double score = 0.0;
        for (std::size_t j = 0; j < k_; ++j) score += std::abs(cross_[candidate_[j] * k_ + j]);
        if (score > best_score_) {
            best_score_ = score;
            best_.assign(candidate_.begin(), candidate_.begin() + k_);
        }
    }

    const std::vector<double>& cross_;
    std::size_t k_;
    std::array<std::size_t, first_assignment_k - 1> candidate_{};
    std::vector<std::size_t> best_;
    double best_score_ = -std::numeric_limits<double>::infinity();
};

}  // namespace

std::expected<SignedPermutation, ProcrustesError> signed_permutation(
    const MatrixView& a, const MatrixView& reference, SignedPermutationOpts opts) {
    if (a.rows() != reference.rows() || a.cols() != reference.cols())
        return std::unexpected(ProcrustesError{ProcrustesError::DimensionMismatch{
            static_cast<std::uint64_t>(a.rows()), static_cast<std::uint64_t>(a.cols()),
            static_cast<std::uint64_t>(reference.rows()),
            static_cast<std::uint64_t>(reference.cols())}});
    if (a.rows() == 0 || a.cols() == 0)
        return std::unexpected(ProcrustesError{ProcrustesError::Empty{}});
    if (opts.check_finite && (!a.allFinite() || !reference.allFinite()))
        return std::unexpected(ProcrustesError{ProcrustesError::NonFinite{}});

    const auto k = static_cast<std::size_t>(a.cols());
    const std::vector<double> cross = cross_products(a, reference);
    const std::vector<double> na = squared_column_norms(a);
    const std::vector<double> nr = squared_column_norms(reference);

    SignedPermutation out;
    if (k < first_assignment_k) {
        out.perm = Enumeration(cross, k).best();
    } else {
        std::vector<double> cost(k * k);
        for (std::size_t e = 0; e < cost.size(); ++e) cost[e] = -std::abs(cross[e]);
        out.perm = lap(cost, k);
    }

    out.signs.resize(k);
    double s = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
        const double c = cross[out.perm[j] * k + j];
        out.signs[j] = c >= 0.0 ? 1.0 : -1.0;
        s += nr[j] + (na[out.perm[j]] - (std::abs(c) + std::abs(c)));
    }
    // fmax drops a NaN sum to 0, and rounding can leave it slightly negative.
    out.residual = std::sqrt(std::fmax(s, 0.0));
    return out;
}

}  // namespace veltra::procrustes
