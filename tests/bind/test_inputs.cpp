#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <utility>
#include <limits>
#include <string>
#include <vector>

#include "veltra/bind/coerce.hpp"
#include "veltra/bind/error.hpp"
#include "veltra/bind/inputs.hpp"
#include "bind_test_support.hpp"

using namespace veltra::bind;
using veltra::bind::test_support::message_of;

namespace {

constexpr double nan_ = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_ = std::numeric_limits<double>::infinity();

// One-argument Inputs for `fn`.
Inputs one(std::string name, Value v) {
    std::vector<Field> e;
    e.push_back(Field{std::move(name), std::move(v)});
    return Inputs("fn", std::move(e));
}

// Values of every kind but the one a getter accepts, with their descriptions.
Value sample(Kind k) {
    switch (k) {
        case Kind::None: return Value();
        case Kind::Bool: return Value::boolean(true);
        case Kind::Int: return Value::int64(-3);
        case Kind::UInt: return Value::uint64(~std::uint64_t{0});
        case Kind::Float: return Value::real(2.5);
        case Kind::Str: return Value::string("a\"b");
        case Kind::Vec: return Value(VecF64(std::vector<double>{1, 2}));
        case Kind::Mat: return Value(MatF64::col_major_owned(1, 1, {1}));
        case Kind::IntMap: return Value(IntMap{{1, 2.0}});
        case Kind::IntVec: return Value(IntVec{1, 2});
        case Kind::BoolVec: return Value(BoolVec{true, false});
        case Kind::Record: return Value(Record());
        case Kind::List: return Value(List{});
    }
    return Value();
}

const char* const descriptions[] = {
    "null", "true", "-3", "18446744073709551615", "2.5", "the string \"a\\\"b\"",
    "a vector", "a matrix", "an integer-keyed map", "an integer vector", "a logical vector",
    "a record", "a list",
};

std::vector<Kind> all_kinds() {
    std::vector<Kind> out;
    for (int k = 0; k <= 12; ++k) out.push_back(static_cast<Kind>(k));
    return out;
}

}  // namespace

// Every other kind's description is in EveryWrongKindIsNamedInTheMessage.
TEST(Describe, TheSmallestInteger) {
    EXPECT_EQ(describe(Value::int64(INT64_MIN)), "-9223372036854775808");
}

TEST(Getters, MatrixMessages) {
    EXPECT_EQ(message_of(Inputs("fn", {}).mat("X")), "X must be a numeric matrix, got null");
    for (Kind k : {Kind::Bool, Kind::Int, Kind::UInt, Kind::Float})
        EXPECT_EQ(message_of(one("X", sample(k)).mat("X")), "X must be 2-D, got 0-D");
    for (Kind k : {Kind::Vec, Kind::IntVec, Kind::BoolVec})
        EXPECT_EQ(message_of(one("X", sample(k)).mat("X")), "X must be 2-D, got 1-D");
    for (Kind k : {Kind::Str, Kind::IntMap, Kind::Record, Kind::List})
        EXPECT_EQ(message_of(one("X", sample(k)).mat("X")),
                  std::string("X must be a numeric matrix, got ") + descriptions[static_cast<int>(k)]);
    EXPECT_TRUE(one("X", sample(Kind::Mat)).mat("X").has_value());
    EXPECT_FALSE(one("X", Value()).opt_mat("X")->has_value());
    EXPECT_EQ(message_of(one("L", sample(Kind::Vec)).opt_mat("L")), "L must be 2-D, got 1-D");
}

TEST(Getters, VectorMessagesAndConversions) {
    EXPECT_EQ(message_of(Inputs("fn", {}).vec("y")), "y must be a numeric vector, got null");
    EXPECT_EQ(message_of(one("y", sample(Kind::Mat)).vec("y")), "y must be 1-D, got 2-D");

    const auto values = [](Value v) {
        auto r = one("y", std::move(v)).vec("y");
        EXPECT_TRUE(r.has_value());
        return r ? std::vector<double>(r->values().begin(), r->values().end()) : std::vector<double>{};
    };
    struct Case {
        Value v;
        std::vector<double> want;
    };
    for (const auto& [v, want] : std::initializer_list<Case>{
             {Value::real(3.5), {3.5}}, {Value::boolean(true), {1.0}}, {Value::boolean(false), {0.0}},
             {Value::int64(-2), {-2.0}}, {Value(IntVec{1, -2}), {1.0, -2.0}},
             {Value(BoolVec{true, false}), {1.0, 0.0}}})
        EXPECT_EQ(values(v.clone()), want) << describe(v);

    EXPECT_FALSE(one("weights", Value()).opt_vec("weights")->has_value());
    auto w = one("weights", Value(BoolVec{true, false})).opt_vec("weights");
    ASSERT_TRUE(w.has_value() && w->has_value());
    EXPECT_EQ((**w).values()[0], 1.0);
}

TEST(Getters, BorrowedVectorsAndMatricesPassThroughWithoutCopy) {
    const std::vector<double> data = {1, 2, 3, 4};
    Loan loan;
    auto y = one("y", loan.vec(data)).vec("y");
    ASSERT_TRUE(y.has_value());
    EXPECT_TRUE(y->is_borrowed());
    EXPECT_EQ(y->values().data(), data.data());
    auto X = one("X", loan.strided(data.data(), 2, 2, 2, 1)).mat("X");
    ASSERT_TRUE(X.has_value());
    EXPECT_EQ(X->as_mat().data, data.data());
}

TEST(Getters, CountMessagesAndBoundaries) {
    const auto count = [](Value v) { return one("k", std::move(v)).usize("k"); };
    for (const auto& [v, n] : std::initializer_list<std::pair<Value, std::uint64_t>>{
             {Value::real(2.0), 2}, {Value::real(-0.0), 0},
             {Value::real(9007199254740992.0), 9007199254740992u},
             {Value::int64(INT64_MAX), INT64_MAX},
             {Value::uint64(static_cast<std::uint64_t>(INT64_MAX)), INT64_MAX}})
        EXPECT_EQ(*count(v.clone()), n) << describe(v);
    const std::string head = "k must be a non-negative whole number, got ";
    EXPECT_EQ(message_of(Inputs("fn", {}).usize("k")), head + "null");
    for (const auto& [v, got] : std::initializer_list<std::pair<Value, const char*>>{
             {Value::real(2.5), "2.5"}, {Value::int64(-1), "-1"}, {Value::boolean(true), "true"},
             {Value::real(-0.5), "-0.5"}, {Value::real(-1.0), "-1"},
             {Value::real(9007199254740994.0), "9007199254740994"}, {Value::real(nan_), "NaN"},
             {Value::real(inf_), "inf"}, {Value::uint64(std::uint64_t{1} << 63), "9223372036854775808"},
             {Value::uint64(~std::uint64_t{0}), "18446744073709551615"},
             {Value::string("3"), "the string \"3\""}, {Value(IntVec{3}), "an integer vector"}})
        EXPECT_EQ(message_of(count(v.clone())), head + got);
    EXPECT_FALSE(one("n_boot", Value()).opt_usize("n_boot")->has_value());
    EXPECT_EQ(message_of(one("n_boot", Value::real(0.5)).opt_usize("n_boot")),
              "n_boot must be a non-negative whole number, got 0.5");
}

TEST(Getters, RealConversionsRoundToNearest) {
    const auto real = [](Value v) { return one("tol", std::move(v)).opt_f64("tol"); };
    // 2^53 + 1 lies halfway between two doubles; ties go to even (2^53).
    EXPECT_EQ(**real(Value::int64(9007199254740993)), 9007199254740992.0);
    EXPECT_EQ(**real(Value::int64(INT64_MAX)), 9223372036854775808.0);
    EXPECT_EQ(**real(Value::uint64(~std::uint64_t{0})), 18446744073709551616.0);
    EXPECT_TRUE(std::isnan(**real(Value::real(nan_))));
    EXPECT_TRUE(std::signbit(**real(Value::real(-0.0))));
    EXPECT_FALSE(real(Value())->has_value());
}

// The wrong kinds are in EveryWrongKindIsNamedInTheMessage; plain values
// that pass are read by every Python call.
TEST(Getters, LoanedStringsAndTypedRecordsPass) {
    Loan loan;
    const std::string text = "split_nb";
    EXPECT_EQ(**one("diagnostic", loan.str(text)).opt_string("diagnostic"), "split_nb");
    EXPECT_TRUE(one("args", Value(Record::typed("X"))).opt_record("args")->has_value());
}

TEST(Seed, AcceptedForms) {
    const auto seed = [](Value v) { return one("seed", std::move(v)).seed("seed"); };
    EXPECT_FALSE(seed(Value())->has_value());
    EXPECT_FALSE(Inputs("fn", {}).seed("seed")->has_value());
    constexpr auto max = ~std::uint64_t{0};
    for (const auto& [v, n] : std::initializer_list<std::pair<Value, std::uint64_t>>{
             {Value::int64(0), 0}, {Value::int64(9007199254740993), 9007199254740993u},
             {Value::uint64(max), max}, {Value::real(42.0), 42}, {Value::real(-0.0), 0},
             {Value::real(9007199254740992.0), 9007199254740992u}, {Value::string("007"), 7},
             {Value::string("18446744073709551615"), max},
             {Value::string("00000000000000000000018446744073709551615"), max}})
        EXPECT_EQ(**seed(v.clone()), n) << describe(v);
}

TEST(Seed, RefusedForms) {
    const std::string head = "seed must be a whole number in [0, 2^64) (a decimal string above 2^53), got ";
    for (const Value& v : {Value::string("18446744073709551616"), Value::string("99999999999999999999"),
                           Value::string("+5"), Value::string(" 5"), Value::string("5.0"),
                           Value::string("1_000"), Value::string(""), Value::real(1e16),
                           Value::real(0.5), Value::real(nan_), Value::real(-1.0), Value::int64(-1),
                           Value::boolean(true), Value(IntVec{1}), Value(Record())})
        EXPECT_EQ(message_of(one("seed", v.clone()).seed("seed")), head + describe(v));
}

TEST(Finish, ReportsTheFirstUnreadNonNullEntry) {
    std::vector<Field> e;
    e.push_back(Field{"X", Value::real(1)});
    e.push_back(Field{"a", Value()});
    e.push_back(Field{"b", Value::int64(2)});
    e.push_back(Field{"c", Value::int64(3)});
    Inputs in("pls1_fit", std::move(e));
    ASSERT_TRUE(in.opt_f64("X").has_value());
    const auto r = in.finish();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code, "invalid_argument");
    EXPECT_EQ(r.error().message, "pls1_fit() does not use argument 'b' in this call");
    (void)in.take("b");
    EXPECT_EQ(in.finish().error().message, "pls1_fit() does not use argument 'c' in this call");
    (void)in.take("c");
    EXPECT_TRUE(in.finish().has_value());
}

TEST(Finish, AFailedReadStillCountsAsRead) {
    Inputs in = one("k", Value::real(2.5));
    EXPECT_FALSE(in.usize("k").has_value());
    EXPECT_TRUE(in.finish().has_value());
}

TEST(Inputs, AReadMovesTheValueOut) {
    Inputs in = one("k", Value::int64(4));
    EXPECT_EQ(*in.usize("k"), 4u);
    EXPECT_EQ(message_of(in.usize("k")), "k must be a non-negative whole number, got null");
    EXPECT_TRUE(in.entries()[0].value.is_none());
    EXPECT_EQ(in.take("absent").kind(), Kind::None);
    EXPECT_EQ(in.function_name(), "fn");
}

TEST(Getters, EveryWrongKindIsNamedInTheMessage) {
    for (Kind k : all_kinds()) {
        const std::string got = std::string(", got ") + descriptions[static_cast<int>(k)];
        if (k != Kind::Bool) {
            EXPECT_EQ(message_of(one("verbose", sample(k)).boolean("verbose")), "verbose must be a bool" + got);
        }
        if (k != Kind::Str) {
            EXPECT_EQ(message_of(one("method", sample(k)).string("method")), "method must be a string" + got);
        }
        if (k != Kind::Str && k != Kind::None) {
            EXPECT_EQ(message_of(one("diagnostic", sample(k)).opt_string("diagnostic")),
                      "diagnostic must be a string" + got);
        }
        if (k != Kind::Int && k != Kind::UInt && k != Kind::Float && k != Kind::None) {
            EXPECT_EQ(message_of(one("alpha", sample(k)).opt_f64("alpha")), "alpha must be a number" + got);
        }
        if (k == Kind::Str || k == Kind::IntMap || k == Kind::Record || k == Kind::List) {
            EXPECT_EQ(message_of(one("weights", sample(k)).opt_vec("weights")),
                      "weights must be a numeric vector" + got);
            EXPECT_EQ(message_of(one("y", sample(k)).vec("y")), "y must be a numeric vector" + got);
        }
        if (k != Kind::None && k != Kind::Record) {
            EXPECT_EQ(message_of(one("args", sample(k)).opt_record("args")),
                      "args must be a record of named values (a dict / named list)" + got);
        }
    }
    EXPECT_EQ(message_of(one("weights", sample(Kind::Mat)).opt_vec("weights")), "weights must be 1-D, got 2-D");
}
