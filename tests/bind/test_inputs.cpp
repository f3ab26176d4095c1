#include <gtest/gtest.h>

#include <cmath>
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

TEST(Describe, EveryKind) {
    for (Kind k : all_kinds()) EXPECT_EQ(describe(sample(k)), descriptions[static_cast<int>(k)]);
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
    for (Kind k : {Kind::Str, Kind::IntMap, Kind::Record, Kind::List})
        EXPECT_EQ(message_of(one("y", sample(k)).vec("y")),
                  std::string("y must be a numeric vector, got ") + descriptions[static_cast<int>(k)]);

    const auto values = [](Value v) {
        auto r = one("y", std::move(v)).vec("y");
        EXPECT_TRUE(r.has_value());
        return r ? std::vector<double>(r->values().begin(), r->values().end()) : std::vector<double>{};
    };
    EXPECT_EQ(values(Value::real(3.5)), (std::vector<double>{3.5}));
    EXPECT_EQ(values(Value::boolean(true)), (std::vector<double>{1.0}));
    EXPECT_EQ(values(Value::boolean(false)), (std::vector<double>{0.0}));
    EXPECT_EQ(values(Value::int64(-2)), (std::vector<double>{-2.0}));
    EXPECT_EQ(values(Value(IntVec{1, -2})), (std::vector<double>{1.0, -2.0}));
    EXPECT_EQ(values(Value(BoolVec{true, false})), (std::vector<double>{1.0, 0.0}));

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
    EXPECT_EQ(*count(Value::real(2.0)), 2u);
    EXPECT_EQ(*count(Value::real(-0.0)), 0u);
    EXPECT_EQ(*count(Value::real(9007199254740992.0)), 9007199254740992u);
    EXPECT_EQ(*count(Value::int64(INT64_MAX)), static_cast<std::uint64_t>(INT64_MAX));
    EXPECT_EQ(*count(Value::uint64(static_cast<std::uint64_t>(INT64_MAX))),
              static_cast<std::uint64_t>(INT64_MAX));

    const std::string head = "k must be a non-negative whole number, got ";
    EXPECT_EQ(message_of(Inputs("fn", {}).usize("k")), head + "null");
    EXPECT_EQ(message_of(count(Value::real(2.5))), head + "2.5");
    EXPECT_EQ(message_of(count(Value::int64(-1))), head + "-1");
    EXPECT_EQ(message_of(count(Value::boolean(true))), head + "true");
    EXPECT_EQ(message_of(count(Value::real(-0.5))), head + "-0.5");
    EXPECT_EQ(message_of(count(Value::real(-1.0))), head + "-1");
    EXPECT_EQ(message_of(count(Value::real(9007199254740994.0))), head + "9007199254740994");
    EXPECT_EQ(message_of(count(Value::real(nan_))), head + "NaN");
    EXPECT_EQ(message_of(count(Value::real(inf_))), head + "inf");
    EXPECT_EQ(message_of(count(Value::uint64(std::uint64_t{1} << 63))), head + "9223372036854775808");
    EXPECT_EQ(message_of(count(Value::uint64(~std::uint64_t{0}))), head + "18446744073709551615");
    EXPECT_EQ(message_of(count(Value::string("3"))), head + "the string \"3\"");
    EXPECT_EQ(message_of(count(Value(IntVec{3}))), head + "an integer vector");

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
    EXPECT_EQ(message_of(real(Value::boolean(false))), "tol must be a number, got false");
    EXPECT_EQ(message_of(real(Value::string("1"))), "tol must be a number, got the string \"1\"");
    EXPECT_EQ(message_of(real(Value(VecF64(std::vector<double>{1})))), "tol must be a number, got a vector");
}

TEST(Getters, BoolStringAndRecordMessages) {
    EXPECT_EQ(message_of(one("pre_standardized", Value::int64(1)).boolean("pre_standardized")),
              "pre_standardized must be a bool, got 1");
    EXPECT_EQ(message_of(Inputs("fn", {}).boolean("verbose")), "verbose must be a bool, got null");
    EXPECT_TRUE(*one("ci", Value::boolean(true)).boolean("ci"));

    EXPECT_EQ(message_of(one("which", Value::int64(3)).string("which")), "which must be a string, got 3");
    EXPECT_EQ(message_of(Inputs("fn", {}).string("which")), "which must be a string, got null");
    EXPECT_EQ(*one("which", Value::string("both")).string("which"), "both");
    EXPECT_FALSE(one("diagnostic", Value()).opt_string("diagnostic")->has_value());
    EXPECT_EQ(message_of(one("diagnostic", Value::real(1.5)).opt_string("diagnostic")),
              "diagnostic must be a string, got 1.5");
    Loan loan;
    const std::string text = "split_nb";
    EXPECT_EQ(**one("diagnostic", loan.str(text)).opt_string("diagnostic"), "split_nb");

    EXPECT_FALSE(one("args", Value()).opt_record("args")->has_value());
    EXPECT_TRUE(one("args", Value(Record::typed("X"))).opt_record("args")->has_value());
    for (Kind k : all_kinds()) {
        if (k == Kind::None || k == Kind::Record) continue;
        EXPECT_EQ(message_of(one("args", sample(k)).opt_record("args")),
                  std::string("args must be a record of named values (a dict / named list), got ") +
                      descriptions[static_cast<int>(k)]);
    }
}

TEST(Seed, AcceptedForms) {
    const auto seed = [](Value v) { return one("seed", std::move(v)).seed("seed"); };
    EXPECT_FALSE(seed(Value())->has_value());
    EXPECT_FALSE(Inputs("fn", {}).seed("seed")->has_value());
    EXPECT_EQ(**seed(Value::int64(0)), 0u);
    EXPECT_EQ(**seed(Value::int64(9007199254740993)), 9007199254740993u);
    EXPECT_EQ(**seed(Value::uint64(~std::uint64_t{0})), ~std::uint64_t{0});
    EXPECT_EQ(**seed(Value::real(42.0)), 42u);
    EXPECT_EQ(**seed(Value::real(-0.0)), 0u);
    EXPECT_EQ(**seed(Value::real(9007199254740992.0)), 9007199254740992u);
    EXPECT_EQ(**seed(Value::string("007")), 7u);
    EXPECT_EQ(**seed(Value::string("18446744073709551615")), ~std::uint64_t{0});
    EXPECT_EQ(**seed(Value::string("00000000000000000000018446744073709551615")), ~std::uint64_t{0});
}

TEST(Seed, RefusedForms) {
    const auto msg = [](Value v) { return message_of(one("seed", std::move(v)).seed("seed")); };
    const std::string head = "seed must be a whole number in [0, 2^64) (a decimal string above 2^53), got ";
    EXPECT_EQ(msg(Value::string("18446744073709551616")), head + "the string \"18446744073709551616\"");
    EXPECT_EQ(msg(Value::string("99999999999999999999")), head + "the string \"99999999999999999999\"");
    EXPECT_EQ(msg(Value::string("+5")), head + "the string \"+5\"");
    EXPECT_EQ(msg(Value::string(" 5")), head + "the string \" 5\"");
    EXPECT_EQ(msg(Value::string("5.0")), head + "the string \"5.0\"");
    EXPECT_EQ(msg(Value::string("1_000")), head + "the string \"1_000\"");
    EXPECT_EQ(msg(Value::string("")), head + "the string \"\"");
    EXPECT_EQ(msg(Value::real(1e16)), head + "10000000000000000");
    EXPECT_EQ(msg(Value::real(0.5)), head + "0.5");
    EXPECT_EQ(msg(Value::real(nan_)), head + "NaN");
    EXPECT_EQ(msg(Value::real(-1.0)), head + "-1");
    EXPECT_EQ(msg(Value::int64(-1)), head + "-1");
    EXPECT_EQ(msg(Value::boolean(true)), head + "true");
    EXPECT_EQ(msg(Value(IntVec{1})), head + "an integer vector");
    EXPECT_EQ(msg(Value(Record())), head + "a record");
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
    Inputs in("fn", [] {
        std::vector<Field> e;
        e.push_back(Field{"k", Value::real(2.5)});
        return e;
    }());
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

TEST(Inputs, NamesAreCaseSensitive) {
    Inputs in = one("X", Value::real(1));
    EXPECT_EQ(message_of(in.mat("x")), "x must be a numeric matrix, got null");
    EXPECT_EQ(in.finish().error().message, "fn() does not use argument 'X' in this call");
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
        }
    }
    EXPECT_EQ(message_of(one("weights", sample(Kind::Mat)).opt_vec("weights")), "weights must be 1-D, got 2-D");
}
