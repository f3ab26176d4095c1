// Seeded calls of every registered function on small valid inputs, shared
// by the tests that run them: the calls reach every route of the resampling
// tests, the searches and the two-block fits. The inputs are made with the
// engine's deterministic elementary functions, so they are the same bits on
// every processor.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "veltra/bind/registry.hpp"
#include "veltra/elementary.hpp"
#include "bind_test_support.hpp"

namespace veltra::bind::every_function {

using test_support::args_of;


// Seeded standard normal draws (SplitMix64 and Box-Muller), independent of
// the engine's own generators.
class Normals {
  public:
    explicit Normals(std::uint64_t seed) : state_(seed) {}
    double next() {
        const double u1 = (static_cast<double>(bits() >> 11) + 1.0) * 0x1p-53;
        const double u2 = static_cast<double>(bits() >> 11) * 0x1p-53;
        return std::sqrt(-2.0 * elementary::log(u1)) * elementary::cos(2.0 * std::numbers::pi * u2);
    }

  private:
    std::uint64_t bits() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::uint64_t state_;
};

// Column-major data of the data sets below.
struct Data {
    std::size_t n, p, q;
    std::vector<double> X, y, Y, weights;
};

// n x p features, a response y driven by the first two columns, a q-column
// block Y driven by the first three, and positive weights.
inline Data make_data(std::size_t n, std::size_t p, std::size_t q, std::uint64_t seed) {
    Normals z(seed);
    Data d{n, p, q, std::vector<double>(n * p), std::vector<double>(n), std::vector<double>(n * q),
           std::vector<double>(n)};
    for (double& x : d.X) x = z.next();
    for (std::size_t i = 0; i < n; ++i) {
        d.y[i] = d.X[i] + 0.5 * d.X[n + i] + 0.3 * z.next();
        for (std::size_t j = 0; j < q; ++j)
            d.Y[j * n + i] = d.X[(j % 3) * n + i] - 0.4 * d.X[((j + 1) % 3) * n + i] + 0.3 * z.next();
        d.weights[i] = 0.5 + static_cast<double>(i % 4) / 4.0;
    }
    return d;
}

inline const Data tall = make_data(40, 6, 3, 1);
inline const Data wide = make_data(14, 30, 2, 2);

inline Value mat(std::size_t rows, std::size_t cols, const std::vector<double>& data) {
    return Value(MatF64::col_major_owned(rows, cols, data));
}
inline Value X(const Data& d) { return mat(d.n, d.p, d.X); }
inline Value Y(const Data& d) { return mat(d.n, d.q, d.Y); }
inline Value y(const Data& d) { return Value(VecF64(d.y)); }
inline Value w(const Data& d) { return Value(VecF64(d.weights)); }
inline Value i64(std::int64_t v) { return Value::int64(v); }
inline Value str(const char* s) { return Value::string(s); }
inline Value yes() { return Value::boolean(true); }
inline Value seed(std::uint64_t s) { return Value::uint64(s); }
inline Value options(std::initializer_list<test_support::Arg> named) { return Value(args_of(named)); }

// The first rows of the tall data, as new rows for the predictions.
inline Value new_rows(std::size_t cols, const std::vector<double>& data) {
    const std::size_t n = tall.n, m = 5;
    std::vector<double> out(m * cols);
    for (std::size_t j = 0; j < cols; ++j)
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(j * n), m,
                    out.begin() + static_cast<std::ptrdiff_t>(j * m));
    return mat(m, cols, out);
}

// The centred Gram matrix X X' of the tall data.
inline Value gram() {
    const Data& d = tall;
    std::vector<double> c = d.X, g(d.n * d.n, 0.0);
    for (std::size_t j = 0; j < d.p; ++j) {
        double mean = 0;
        for (std::size_t i = 0; i < d.n; ++i) mean += c[j * d.n + i] / static_cast<double>(d.n);
        for (std::size_t i = 0; i < d.n; ++i) c[j * d.n + i] -= mean;
    }
    for (std::size_t a = 0; a < d.n; ++a)
        for (std::size_t b = 0; b < d.n; ++b)
            for (std::size_t j = 0; j < d.p; ++j) g[b * d.n + a] += c[j * d.n + a] * c[j * d.n + b];
    return mat(d.n, d.n, g);
}

// A model fitted through the registry, to be handed back in.
inline Value fitted(const char* name, Record args) {
    auto r = call(name, std::move(args));
    EXPECT_TRUE(r.has_value()) << name << ": " << (r.has_value() ? "" : r.error().message);
    return r.has_value() ? std::move(r->value) : Value();
}
inline Value pls1_model() {
    return fitted("pls1_fit", args_of({{"X", X(tall)}, {"y", y(tall)}, {"k", i64(2)}}));
}
inline Value pls3_model(const char* name) {
    return fitted(name, args_of({{"X", X(tall)}, {"Y", Y(tall)}, {"k", i64(2)}}));
}

struct Case {
    const char* function;
    std::function<Record()> args;
};

using test_support::Arg;

// X and y (or the block Y) of a data set, then `more`.
inline Record with_y(const Data& d, std::initializer_list<Arg> more) {
    Record r = args_of(more);
    r.set("X", X(d));
    r.set("y", y(d));
    return r;
}
inline Record with_Y(const Data& d, std::initializer_list<Arg> more) {
    Record r = args_of(more);
    r.set("X", X(d));
    r.set("Y", Y(d));
    return r;
}

// The options of a confirmatory method, with small counts.
inline Value method_args(const std::string& method) {
    if (method == "raw_perm") return options({{"n_perm", i64(19)}, {"n_folds", i64(3)}});
    if (method == "split_nb") return options({{"n_splits", i64(3)}, {"force", yes()}});
    if (method == "score" || method == "e") return Value();
    return options({{"n_perm", i64(19)}, {"n_splits", i64(3)}});
}

// Every function at least once; the searches, the confirmatory tests and
// the null on several of their methods and routes, on tall and on wide data,
// with and without weights.
inline std::vector<Case> cases() {
    std::vector<Case> out = {
        {"preprocess", [] { return args_of({{"X", X(tall)}, {"Y", y(tall)}, {"weights", w(tall)}}); }},
        {"preprocess", [] { return args_of({{"X", X(tall)}, {"Y", Y(tall)}}); }},
        {"pls1_fit", [] { return with_y(tall, {{"k", i64(3)}, {"weights", w(tall)}}); }},
        {"pls1_fit", [] { return with_y(wide, {{"k", i64(2)}}); }},
        {"pls1_fit", [] {
             return with_y(tall, {{"k", str("optimal")}, {"k_max", i64(3)}, {"seed", seed(3)}});
         }},
        {"pls1_fit", [] {
             return with_y(tall, {{"k", str("sequence")}, {"k_max", i64(2)},
                                  {"find_k_args", options({{"test_method", str("e")}})}, {"seed", seed(3)}});
         }},
        {"pls1_predict", [] {
             return args_of({{"model", pls1_model()}, {"X_new", new_rows(tall.p, tall.X)}});
         }},
        {"pls1_find_k_optimal", [] {
             return with_y(tall, {{"k_max", i64(3)}, {"weights", w(tall)}, {"seed", seed(4)}});
         }},
        {"pls1_find_k_optimal", [] {
             return with_y(tall, {{"k_max", i64(3)}, {"selector", str("bic")},
                                  {"diagnostic", str("split_exact")}, {"args", method_args("split_exact")},
                                  {"seed", seed(4)}});
         }},
        {"pls1_find_k_sequence", [] {
             return with_y(tall, {{"k_max", i64(3)}, {"test_method", str("raw_perm")},
                                  {"args", options({{"n_perm", i64(39)}})}, {"seed", seed(5)}});
         }},
        {"pls1_find_k_sequence", [] {
             return with_y(wide, {{"k_max", i64(2)}, {"test_method", str("split_nb")},
                                  {"args", method_args("split_nb")}, {"seed", seed(5)}});
         }},
        {"spls1_fit", [] { return with_y(tall, {{"k", i64(2)}, {"keep", i64(3)}}); }},
        {"spls1_find_keep_optimal", [] {
             return with_y(tall, {{"k", i64(2)}, {"weights", w(tall)}, {"seed", seed(6)}});
         }},
        {"spls1_find_k_optimal", [] {
             return with_y(tall, {{"k_max", i64(2)}, {"keep", i64(3)}, {"seed", seed(7)}});
         }},
        {"spls1_find_k_sequence", [] {
             return with_y(tall, {{"k_max", i64(2)}, {"keep", i64(3)}, {"test_method", str("e")},
                                  {"seed", seed(8)}});
         }},
        {"pls3_fit", [] { return with_Y(tall, {{"k", i64(2)}}); }},
        {"plssvd_fit", [] { return with_Y(wide, {{"k", i64(2)}}); }},
        {"pls3_transform", [] {
             return args_of({{"model", pls3_model("pls3_fit")}, {"X_new", new_rows(tall.p, tall.X)},
                             {"Y_new", new_rows(tall.q, tall.Y)}});
         }},
        {"plssvd_transform", [] {
             return args_of({{"model", pls3_model("plssvd_fit")}, {"X_new", new_rows(tall.p, tall.X)},
                             {"which", str("x_scores")}});
         }},
        {"spls3_fit", [] { return with_Y(tall, {{"k", i64(2)}, {"keep_X", i64(3)}, {"keep_Y", i64(2)}}); }},
        {"split_nb_gate", [] { return args_of({{"X", X(tall)}, {"weights", w(tall)}}); }},
        {"pls1_perm_null", [] {
             return with_y(tall, {{"k", i64(2)}, {"n_perm", i64(100)}, {"return_perm_matrix", yes()},
                                  {"seed", seed(9)}});
         }},
        {"pls1_perm_null", [] {
             return with_y(wide, {{"k", i64(1)}, {"n_perm", i64(100)}, {"seed", seed(9)}});
         }},
        {"pls1_perm_alpha", [] {
             return args_of({{"gram", gram()}, {"Y", Y(tall)}, {"k", i64(1)}, {"n_features", i64(6)}});
         }},
        {"rotate", [] { return args_of({{"model_or_W", pls1_model()}}); }},
        {"rotate", [] {
             const std::vector<double> W(tall.X.begin(), tall.X.begin() + 12);
             const std::vector<double> L(tall.Y.begin(), tall.Y.begin() + 6);
             return args_of({{"model_or_W", mat(tall.p, 2, W)}, {"L", mat(3, 2, L)}});
         }},
        {"pls1_rotation_stability", [] {
             return with_y(tall, {{"k", i64(2)}, {"n_boot", i64(100)}, {"weights", w(tall)},
                                  {"seed", seed(10)}});
         }},
        {"pls1_confirmatory_test", [] {
             return with_y(tall, {{"k", i64(2)}, {"test_method", str("e")}, {"ci", yes()},
                                  {"n_boot", i64(100)}, {"weights", w(tall)}, {"seed", seed(13)}});
         }},
    };
    for (const char* method : {"raw_perm", "split_nb", "split_exact", "score", "e", "auto"}) {
        out.push_back({"pls1_confirmatory_test", [=] {
                           return with_y(tall, {{"k", i64(2)}, {"test_method", str(method)},
                                                {"args", method_args(method)}, {"weights", w(tall)},
                                                {"seed", seed(11)}});
                       }});
        out.push_back({"pls1_confirmatory_test", [=] {
                           return with_y(wide, {{"test_method", str(method)}, {"args", method_args(method)},
                                                {"seed", seed(11)}});
                       }});
    }
    for (const char* method : {"split_nb", "split_exact", "auto"})
        for (const Data* d : {&tall, &wide})
            out.push_back({"pls3_confirmatory_test", [=] {
                               return with_Y(*d, {{"test_method", str(method)}, {"args", method_args(method)},
                                                  {"seed", seed(12)}});
                           }});
    return out;
}

}  // namespace veltra::bind::every_function
