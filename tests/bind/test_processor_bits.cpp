// The seeded calls of every registered function, and calls on shapes large
// enough for the engine's 2-, 4- and 8-lane kernels, the pinned column parts
// of a small wide X, the QR path of a long cross covariance and resampling
// batches of many units, each hashed over every bit of its result. With
// VELTRA_BITS_OUT set, the hashes go to that file, one line per call:
// scripts/processor_bits.sh runs this test natively and under emulated
// processors without FMA or wide vectors and compares the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "every_function_cases.hpp"

using namespace veltra::bind;

namespace {

using namespace every_function;

// FNV-1a over the kind, shape and bit pattern of every value in the tree.
class Hash {
  public:
    void add(std::uint64_t x) {
        for (int i = 0; i < 8; ++i) byte(static_cast<unsigned char>(x >> (8 * i)));
    }
    void add(double x) { add(std::bit_cast<std::uint64_t>(x)); }
    void add(std::string_view s) {
        add(static_cast<std::uint64_t>(s.size()));
        for (const char c : s) byte(static_cast<unsigned char>(c));
    }
    void add(const Value& v) {
        add(static_cast<std::uint64_t>(v.kind()));
        if (const auto* b = v.get_if<bool>()) add(static_cast<std::uint64_t>(*b));
        if (const auto* i = v.get_if<std::int64_t>()) add(static_cast<std::uint64_t>(*i));
        if (const auto* u = v.get_if<std::uint64_t>()) add(*u);
        if (const auto* x = v.get_if<double>()) add(*x);
        if (const auto* s = v.get_if<Str>()) add(s->view());
        if (const auto* vec = v.get_if<VecF64>())
            for (const double x : vec->values()) add(x);
        if (const auto* m = v.get_if<MatF64>()) {
            add(static_cast<std::uint64_t>(m->rows()));
            add(static_cast<std::uint64_t>(m->cols()));
            std::vector<double> values(m->rows() * m->cols());
            m->copy_row_major(values);
            for (const double x : values) add(x);
        }
        if (const auto* map = v.get_if<IntMap>())
            for (const auto& [key, x] : *map) add(static_cast<std::uint64_t>(key)), add(x);
        if (const auto* iv = v.get_if<IntVec>())
            for (const std::int64_t i : *iv) add(static_cast<std::uint64_t>(i));
        if (const auto* bv = v.get_if<BoolVec>())
            for (const bool b : *bv) add(static_cast<std::uint64_t>(b));
        if (const auto* r = v.get_if<Record>()) add(*r);
        if (const auto* list = v.get_if<List>())
            for (const Value& item : *list) add(item);
    }
    void add(const Record& r) {
        add(r.type_name().value_or("-"));
        for (const Field& f : r.fields()) add(f.name), add(f.value);
    }
    std::uint64_t value() const { return h_; }

  private:
    void byte(unsigned char c) { h_ = (h_ ^ c) * 0x100000001b3ull; }
    std::uint64_t h_ = 0xcbf29ce484222325ull;
};

const Data mid = make_data(240, 64, 24, 21);
// At most 2^20 entries and a column part for every fixed part: pinned.
const Data pinned = make_data(100, 4096, 4, 22);
// X'Y with a long side of at least 1024: the QR-first SVD.
const Data long_side = make_data(120, 1100, 5, 23);
const Data square = make_data(300, 300, 3, 24);

// The same X in row-major storage, read in place.
Value X_rows(const Data& d) {
    std::vector<double> rows(d.n * d.p);
    for (std::size_t i = 0; i < d.n; ++i)
        for (std::size_t j = 0; j < d.p; ++j) rows[i * d.p + j] = d.X[j * d.n + i];
    return Value(MatF64::row_major_owned(d.n, d.p, std::move(rows)));
}
Record rows_with_y(const Data& d, std::initializer_list<test_support::Arg> more) {
    Record r = with_y(d, more);
    r.set("X", X_rows(d));
    return r;
}

std::vector<Case> large_cases() {
    const auto confirm = [](const Data& d, const char* method, Value (*args)()) {
        return [=, &d] {
            return with_y(d, {{"k", i64(2)}, {"test_method", str(method)}, {"args", args()},
                              {"seed", seed(31)}});
        };
    };
    return {
        {"pls1_fit", [] { return with_y(mid, {{"k", i64(5)}, {"weights", w(mid)}}); }},
        {"pls1_fit", [] { return rows_with_y(mid, {{"k", i64(5)}}); }},
        {"pls1_fit", [] { return with_y(pinned, {{"k", i64(3)}}); }},
        {"pls1_fit", [] { return rows_with_y(pinned, {{"k", i64(3)}, {"weights", w(pinned)}}); }},
        {"spls1_fit", [] { return rows_with_y(pinned, {{"k", i64(2)}, {"keep", i64(300)}}); }},
        {"pls1_predict", [] {
             return args_of({{"model", fitted("pls1_fit", with_y(mid, {{"k", i64(4)}}))},
                             {"X_new", X_rows(mid)}});
         }},
        {"rotate", [] {
             return args_of({{"model_or_W", fitted("pls1_fit", with_y(mid, {{"k", i64(6)}}))}});
         }},
        {"rotate", [] {
             return args_of({{"model_or_W", fitted("pls1_fit", with_y(square, {{"k", i64(10)}}))}});
         }},
        {"pls3_fit", [] { return with_Y(long_side, {{"k", i64(3)}}); }},
        {"plssvd_fit", [] {
             Record r = with_Y(long_side, {{"k", i64(3)}});
             r.set("X", X_rows(long_side));
             return r;
         }},
        {"spls3_fit", [] { return with_Y(mid, {{"k", i64(2)}, {"keep_X", i64(10)}, {"keep_Y", i64(5)}}); }},
        {"pls3_transform", [] {
             return args_of({{"model", fitted("pls3_fit", with_Y(mid, {{"k", i64(3)}}))},
                             {"X_new", X(mid)}, {"Y_new", Y(mid)}});
         }},
        {"pls1_confirmatory_test",
         confirm(mid, "split_nb", [] { return options({{"n_splits", i64(20)}, {"force", yes()}}); })},
        {"pls1_confirmatory_test",
         confirm(mid, "split_exact", [] { return options({{"n_perm", i64(999)}, {"n_splits", i64(20)}}); })},
        {"pls1_confirmatory_test",
         confirm(mid, "raw_perm", [] { return options({{"n_perm", i64(99)}, {"n_folds", i64(5)}}); })},
        {"pls1_confirmatory_test",
         confirm(pinned, "split_exact", [] { return options({{"n_perm", i64(99)}, {"n_splits", i64(4)}}); })},
        {"pls1_confirmatory_test", [] {
             return with_y(mid, {{"k", i64(2)}, {"test_method", str("score")}, {"ci", yes()},
                                 {"n_boot", i64(100)}, {"seed", seed(32)}});
         }},
        {"pls3_confirmatory_test", [] {
             return with_Y(mid, {{"test_method", str("split_exact")}, {"seed", seed(33)},
                                 {"args", options({{"n_perm", i64(99)}, {"n_splits", i64(4)}})}});
         }},
        {"pls3_confirmatory_test", [] {
             return with_Y(mid, {{"test_method", str("split_nb")}, {"seed", seed(33)},
                                 {"args", options({{"n_splits", i64(20)}, {"force", yes()}})}});
         }},
        {"pls1_perm_null", [] {
             return rows_with_y(mid, {{"k", i64(2)}, {"n_perm", i64(200)}, {"seed", seed(34)}});
         }},
        {"pls1_rotation_stability", [] {
             return with_y(mid, {{"k", i64(6)}, {"n_boot", i64(300)}, {"seed", seed(35)}});
         }},
        {"pls1_find_k_optimal", [] { return rows_with_y(mid, {{"k_max", i64(5)}, {"seed", seed(36)}}); }},
        {"pls1_find_k_sequence", [] {
             return with_y(mid, {{"k_max", i64(3)}, {"test_method", str("split_nb")}, {"seed", seed(37)},
                                 {"args", options({{"n_splits", i64(10)}, {"force", yes()}})}});
         }},
        {"spls1_find_keep_optimal", [] { return with_y(mid, {{"k", i64(2)}, {"seed", seed(38)}}); }},
        {"split_nb_gate", [] { return args_of({{"X", X_rows(mid)}}); }},
    };
}

// Every elementary function of the engine over 2^20 arguments spread over
// the ranges its callers use: a function whose bits depend on the processor
// differs in a share of its last bits far too small to reach the calls'
// results reliably, but not this sweep.
std::vector<std::pair<std::string, std::uint64_t>> elementary_hashes() {
    namespace el = veltra::elementary;
    std::uint64_t state = 7;
    const auto uniform = [&state] {  // [0, 1), an LCG's top 53 bits
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) * 0x1p-53;
    };
    const std::pair<std::string, double (*)(double, double)> functions[] = {
        {"log", [](double x, double) { return el::log(1e-3 + 1e3 * x); }},
        {"log1p", [](double x, double) { return el::log1p(2.0 * x - 0.9999); }},
        {"exp", [](double x, double) { return el::exp(80.0 * x - 40.0); }},
        {"pow", [](double x, double y) { return el::pow(1.0 + 1e5 * x, 0.5 + 0.45 * y); }},
        {"tanh", [](double x, double) { return el::tanh(10.0 * x - 5.0); }},
        {"sin", [](double x, double) { return el::sin(8.0 * x - 4.0); }},
        {"cos", [](double x, double) { return el::cos(8.0 * x - 4.0); }},
        {"atan2", [](double x, double y) { return el::atan2(2.0 * x - 1.0, 2.0 * y - 1.0); }},
        {"ceil_pow", [](double x, double y) {
             const auto n = 1 + static_cast<std::uint64_t>(1e6 * x);
             return static_cast<double>(el::ceil_pow(n, 0.5 + 0.45 * y));
         }},
        {"sincos", [](double x, double) {
             const el::SinCos sc = el::sincos(x - 0.5);
             return sc.sin + 3.0 * sc.cos;
         }},
    };
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (const auto& [name, f] : functions) {
        Hash h;
        for (int i = 0; i < (1 << 20); ++i) {
            const double x = uniform(), y = uniform();
            h.add(f(x, y));
        }
        out.emplace_back("elementary::" + name, h.value());
    }
    return out;
}

}  // namespace

TEST(ProcessorBits, EveryFunctionAndEveryKernelWidthGivesAResult) {
    std::vector<Case> all = cases();
    for (Case& c : large_cases()) all.push_back(std::move(c));
    std::string lines;
    const auto line = [&lines](std::string_view name, std::uint64_t hash) {
        char text[96];
        std::snprintf(text, sizeof text, "%3zu %-24.*s %016llx\n",
                      static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n')),
                      static_cast<int>(name.size()), name.data(), static_cast<unsigned long long>(hash));
        lines += text;
    };
    for (const Case& c : all) {
        const auto r = call(c.function, c.args());
        Hash h;
        if (r) {
            h.add(r->value);
            for (const Record& warning : r->warnings) h.add(warning);
        } else {
            ADD_FAILURE() << c.function << ": " << r.error().message;
            h.add(r.error().code), h.add(r.error().message);
        }
        line(c.function, h.value());
    }
    for (const auto& [name, hash] : elementary_hashes()) line(name, hash);
    if (const char* path = std::getenv("VELTRA_BITS_OUT")) {
        std::ofstream out(path);
        out << lines;
        EXPECT_TRUE(out.good()) << path;
    }
}
