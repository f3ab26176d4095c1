#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "veltra/bind/error.hpp"
#include "veltra/bind/methods.hpp"
#include "bind_test_support.hpp"

using namespace veltra::bind;
using veltra::bind::test_support::args_of;
using M = veltra::resample::ConfirmatoryMethod;

namespace {

template <class T>
std::string message_of(const BindResult<T>& r) {
    return test_support::message_of(r, "invalid_args");
}

}  // namespace

TEST(Methods, NamesRoundTripExactly) {
    const char* names[] = {"raw_perm", "split_nb", "split_exact", "score", "e", "auto"};
    for (int i = 0; i < 6; ++i) {
        const auto m = parse_method(names[i]);
        ASSERT_TRUE(m.has_value()) << names[i];
        EXPECT_EQ(static_cast<int>(*m), i);
        EXPECT_EQ(method_name(*m), names[i]);
    }
    EXPECT_EQ(message_of(parse_method("")), "unknown method: ");
}

TEST(Methods, ConfirmatoryDefaultsPerMethod) {
    using U = std::optional<std::uint64_t>;
    struct Case {
        const char* method;
        std::optional<Record> args;
        M m;
        U n_perm, n_folds, n_splits;  // absent: not looked at
        std::optional<bool> force;
    };
    Case cases[] = {
        {"raw_perm", std::nullopt, M::raw_perm, 1000, 5, {}, {}},
        {"split_nb", args_of({}), M::split_nb, {}, {}, 50, false},
        {"split_exact", args_of({{"n_splits", Value::real(20.0)}}), M::split_exact, 1000, {}, 20, {}},
        {"auto", args_of({{"n_perm", Value::int64(7)}}), M::auto_, 7, {}, {}, {}},
        {"raw_perm", args_of({{"n_perm", Value()}}), M::raw_perm, 1000, {}, {}, {}},  // null is absent
        {"split_nb", args_of({{"force", Value::boolean(true)}}), M::split_nb, {}, {}, {}, true},
    };
    for (Case& c : cases) {
        const auto r = confirmatory_args(c.method, std::move(c.args));
        ASSERT_TRUE(r.has_value()) << c.method;
        EXPECT_TRUE(r->method == c.m && c.n_perm.value_or(r->n_perm) == r->n_perm &&
                    c.n_folds.value_or(r->n_folds) == r->n_folds &&
                    c.n_splits.value_or(r->n_splits) == r->n_splits && c.force.value_or(r->force) == r->force)
            << c.method;
    }
}

TEST(Methods, ConfirmatoryRefusals) {
    struct Case {
        const char* method;
        Record args;
        const char* message;
    };
    Case cases[] = {
        {"split_nb", args_of({{"n_perm", Value::int64(500)}}),
         "test_method='split_nb' does not accept arg 'n_perm'; allowed: ['n_splits', 'force']"},
        {"score", args_of({{"n_perm", Value::int64(500)}}),
         "test_method='score' does not accept arg 'n_perm'; allowed: []"},
        // A key is refused whatever its value, null included.
        {"e", args_of({{"x", Value()}}), "test_method='e' does not accept arg 'x'; allowed: []"},
        // The method name is checked before the record is looked at.
        {"Auto", args_of({{"bogus", Value::int64(1)}}), "unknown method: Auto"},
        {"split_exact", args_of({{"n_splits", Value::real(2.5)}}),
         "args['n_splits'] for test_method='split_exact' must be a non-negative whole number, got 2.5"},
        {"split_nb", args_of({{"force", Value::int64(1)}}),
         "args['force'] for test_method='split_nb' must be a bool, got 1"},
        // Keys first, then the options in their order.
        {"raw_perm", args_of({{"n_folds", Value::real(-1.0)}, {"n_perm", Value::boolean(true)}}),
         "args['n_perm'] for test_method='raw_perm' must be a non-negative whole number, got true"},
    };
    for (Case& c : cases) EXPECT_EQ(message_of(confirmatory_args(c.method, std::move(c.args))), c.message);
    EXPECT_TRUE(confirmatory_args("score", args_of({})).has_value());
    EXPECT_TRUE(confirmatory_args("score", std::nullopt).has_value());
}

TEST(Methods, Pls3AdmitsThreeMethods) {
    for (const char* name : {"raw_perm", "score", "e", "Auto"})
        EXPECT_EQ(message_of(pls3_confirmatory_args(name, std::nullopt)),
                  "test_method='" + std::string(name) +
                      "' is not available for pls3_confirmatory_test; allowed: ['split_exact', "
                      "'split_nb', 'auto']");
    const auto nb = pls3_confirmatory_args("split_nb", args_of({{"n_splits", Value::int64(9)}}));
    ASSERT_TRUE(nb.has_value());
    EXPECT_TRUE(nb->method == M::split_nb && nb->n_splits == 9);
}

// Defaults and set values are checked end to end from Python.
TEST(Methods, Varimax) {
    EXPECT_EQ(message_of(varimax_args(args_of({{"tol", Value::string("x")}}))),
              "args['tol'] for method='varimax' must be a number, got the string \"x\"");
    // The option record's type name is ignored.
    Record typed = Record::typed("Anything").field("max_iter", Value::int64(4));
    const auto from_typed = varimax_args(std::move(typed));
    ASSERT_TRUE(from_typed.has_value());
    EXPECT_EQ(from_typed->max_iter, 4u);
}

TEST(Methods, KeepOptimal) {
    EXPECT_EQ(keep_optimal_opts(std::nullopt).value(), 5u);
    EXPECT_EQ(keep_optimal_opts(args_of({{"n_folds", Value::int64(3)}})).value(), 3u);
}

TEST(Methods, FindKOptimalGates) {
    const auto d = find_k_optimal_opts(std::nullopt, false, std::nullopt);
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(d->n_folds == 5 && d->test.n_perm == 1000 && d->test.n_splits == 50 &&
                !d->test.force);
    EXPECT_TRUE(find_k_optimal_opts(args_of({{"n_folds", Value()}}), true, std::nullopt).has_value());
    struct Case {
        Record args;
        bool bic;
        std::optional<M> diagnostic;
        const char* message;
    };
    Case cases[] = {
        {args_of({{"n_folds", Value::int64(3)}}), true, {}, "selector='bic' does not accept arg 'n_folds'"},
        // The conversion of n_folds comes before the bic check.
        {args_of({{"n_folds", Value::real(0.5)}}), true, {},
         "args['n_folds'] for method='optimal' must be a non-negative whole number, got 0.5"},
        {args_of({{"n_perm", Value::int64(200)}}), false, {}, "args['n_perm'] requires diagnostic to be set"},
        {args_of({{"n_perm", Value::int64(200)}}), false, M::split_nb,
         "args['n_perm'] only valid for diagnostic in {raw_perm, split_exact}"},
        {args_of({{"n_splits", Value::int64(20)}}), false, M::raw_perm,
         "args['n_splits'] only valid for diagnostic in {split_nb, split_exact}"},
        {args_of({{"force", Value::boolean(true)}}), false, M::split_exact,
         "args['force'] only valid for diagnostic='split_nb'"},
        {args_of({{"force", Value::string("y")}}), false, M::split_nb,
         "args['force'] for diagnostic='split_nb' must be a bool, got the string \"y\""},
        {args_of({{"seed", Value::int64(1)}}), false, {},
         "method='optimal' does not accept arg 'seed'; allowed: ['n_folds', 'n_perm', 'n_splits', 'force']"},
    };
    for (Case& c : cases)
        EXPECT_EQ(message_of(find_k_optimal_opts(std::move(c.args), c.bic, c.diagnostic)), c.message);
    const auto set = find_k_optimal_opts(
        args_of({{"n_perm", Value::int64(200)}, {"n_splits", Value::int64(30)}}), false, M::split_exact);
    ASSERT_TRUE(set.has_value());
    EXPECT_TRUE(set->test.n_perm == 200 && set->test.n_splits == 30);
}
