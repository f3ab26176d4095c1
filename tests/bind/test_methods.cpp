#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "veltra/bind/error.hpp"
#include "veltra/bind/methods.hpp"
#include "bind_test_support.hpp"

using namespace veltra::bind;
using veltra::bind::test_support::args_of;
using M = veltra::ConfirmatoryMethod;

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
    EXPECT_EQ(message_of(parse_method("Auto")), "unknown method: Auto");
    EXPECT_EQ(message_of(parse_method("")), "unknown method: ");
}

TEST(Methods, ConfirmatoryDefaultsPerMethod) {
    const auto raw = confirmatory_args("raw_perm", std::nullopt);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->method, M::raw_perm);
    EXPECT_EQ(raw->n_perm, 1000u);
    EXPECT_EQ(raw->n_folds, 5u);

    const auto nb = confirmatory_args("split_nb", args_of({}));
    ASSERT_TRUE(nb.has_value());
    EXPECT_EQ(nb->n_splits, 50u);
    EXPECT_FALSE(nb->force);

    const auto exact = confirmatory_args("split_exact", args_of({{"n_splits", Value::real(20.0)}}));
    ASSERT_TRUE(exact.has_value());
    EXPECT_EQ(exact->n_perm, 1000u);
    EXPECT_EQ(exact->n_splits, 20u);

    const auto automatic = confirmatory_args("auto", args_of({{"n_perm", Value::int64(7)}}));
    ASSERT_TRUE(automatic.has_value());
    EXPECT_EQ(automatic->method, M::auto_);
    EXPECT_EQ(automatic->n_perm, 7u);

    // A null option counts as absent.
    const auto null_perm = confirmatory_args("raw_perm", args_of({{"n_perm", Value()}}));
    ASSERT_TRUE(null_perm.has_value());
    EXPECT_EQ(null_perm->n_perm, 1000u);

    const auto forced = confirmatory_args("split_nb", args_of({{"force", Value::boolean(true)}}));
    ASSERT_TRUE(forced.has_value());
    EXPECT_TRUE(forced->force);
}

TEST(Methods, ConfirmatoryRefusals) {
    EXPECT_EQ(message_of(confirmatory_args("split_nb", args_of({{"n_perm", Value::int64(500)}}))),
              "test_method='split_nb' does not accept arg 'n_perm'; allowed: ['n_splits', 'force']");
    EXPECT_EQ(message_of(confirmatory_args("score", args_of({{"n_perm", Value::int64(500)}}))),
              "test_method='score' does not accept arg 'n_perm'; allowed: []");
    // A key is refused whatever its value, null included.
    EXPECT_EQ(message_of(confirmatory_args("e", args_of({{"x", Value()}}))),
              "test_method='e' does not accept arg 'x'; allowed: []");
    EXPECT_TRUE(confirmatory_args("score", args_of({})).has_value());
    EXPECT_TRUE(confirmatory_args("score", std::nullopt).has_value());
    // The method name is checked before the record is looked at.
    EXPECT_EQ(message_of(confirmatory_args("Auto", args_of({{"bogus", Value::int64(1)}}))),
              "unknown method: Auto");
    EXPECT_EQ(message_of(confirmatory_args("split_exact", args_of({{"n_splits", Value::real(2.5)}}))),
              "args['n_splits'] for test_method='split_exact' must be a non-negative whole number, "
              "got 2.5");
    EXPECT_EQ(message_of(confirmatory_args("split_nb", args_of({{"force", Value::int64(1)}}))),
              "args['force'] for test_method='split_nb' must be a bool, got 1");
    // Keys first, then the options in their order.
    EXPECT_EQ(message_of(confirmatory_args(
                  "raw_perm", args_of({{"n_folds", Value::real(-1.0)}, {"n_perm", Value::boolean(true)}}))),
              "args['n_perm'] for test_method='raw_perm' must be a non-negative whole number, got true");
}

TEST(Methods, Pls3AdmitsThreeMethods) {
    for (const char* name : {"raw_perm", "score", "e", "Auto"})
        EXPECT_EQ(message_of(pls3_confirmatory_args(name, std::nullopt)),
                  "test_method='" + std::string(name) +
                      "' is not available for pls3_confirmatory_test; allowed: ['split_exact', "
                      "'split_nb', 'auto']");
    const auto nb = pls3_confirmatory_args("split_nb", args_of({{"n_splits", Value::int64(9)}}));
    ASSERT_TRUE(nb.has_value());
    EXPECT_EQ(nb->method, M::split_nb);
    EXPECT_EQ(nb->n_splits, 9u);
    EXPECT_EQ(message_of(pls3_confirmatory_args("auto", args_of({{"force", Value::boolean(true)}}))),
              "test_method='auto' does not accept arg 'force'; allowed: ['n_perm', 'n_splits']");
}

TEST(Methods, Varimax) {
    const auto d = varimax_args(std::nullopt);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->max_iter, 50u);
    EXPECT_EQ(d->tol, 1e-8);
    EXPECT_TRUE(d->kaiser_normalize);
    const auto set = varimax_args(args_of({{"kaiser_normalize", Value::boolean(false)},
                                           {"tol", Value::int64(1)},
                                           {"max_iter", Value::uint64(3)}}));
    ASSERT_TRUE(set.has_value());
    EXPECT_EQ(set->max_iter, 3u);
    EXPECT_EQ(set->tol, 1.0);
    EXPECT_FALSE(set->kaiser_normalize);
    EXPECT_EQ(message_of(varimax_args(args_of({{"tol", Value::string("x")}}))),
              "args['tol'] for method='varimax' must be a number, got the string \"x\"");
    EXPECT_EQ(message_of(varimax_args(args_of({{"maxiter", Value::int64(10)}}))),
              "method='varimax' does not accept arg 'maxiter'; allowed: ['max_iter', 'tol', "
              "'kaiser_normalize']");
    // The option record's type name is ignored.
    Record typed = Record::typed("Anything").field("max_iter", Value::int64(4));
    const auto from_typed = varimax_args(std::move(typed));
    ASSERT_TRUE(from_typed.has_value());
    EXPECT_EQ(from_typed->max_iter, 4u);
}

TEST(Methods, KeepOptimal) {
    EXPECT_EQ(keep_optimal_opts(std::nullopt).value(), 5u);
    EXPECT_EQ(keep_optimal_opts(args_of({{"n_folds", Value::int64(3)}})).value(), 3u);
    EXPECT_EQ(message_of(keep_optimal_opts(args_of({{"n_perm", Value::int64(3)}}))),
              "method='keep_optimal' does not accept arg 'n_perm'; allowed: ['n_folds']");
}

TEST(Methods, FindKOptimalGates) {
    const auto d = find_k_optimal_opts(std::nullopt, false, std::nullopt);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->n_folds, 5u);
    EXPECT_EQ(d->n_perm, 1000u);
    EXPECT_EQ(d->n_splits, 50u);
    EXPECT_FALSE(d->force);

    EXPECT_EQ(message_of(find_k_optimal_opts(args_of({{"n_folds", Value::int64(3)}}), true,
                                             std::nullopt)),
              "selector='bic' does not accept arg 'n_folds'");
    EXPECT_TRUE(find_k_optimal_opts(args_of({{"n_folds", Value()}}), true, std::nullopt).has_value());
    // The conversion of n_folds comes before the bic check.
    EXPECT_EQ(message_of(find_k_optimal_opts(args_of({{"n_folds", Value::real(0.5)}}), true,
                                             std::nullopt)),
              "args['n_folds'] for method='optimal' must be a non-negative whole number, got 0.5");
    EXPECT_EQ(message_of(find_k_optimal_opts(args_of({{"n_perm", Value::int64(200)}}), false,
                                             std::nullopt)),
              "args['n_perm'] requires diagnostic to be set");
    EXPECT_EQ(message_of(find_k_optimal_opts(args_of({{"n_perm", Value::int64(200)}}), false,
                                             M::split_nb)),
              "args['n_perm'] only valid for diagnostic in {raw_perm, split_exact}");
    EXPECT_EQ(message_of(find_k_optimal_opts(args_of({{"n_splits", Value::int64(20)}}), false,
                                             M::raw_perm)),
              "args['n_splits'] only valid for diagnostic in {split_nb, split_exact}");
    EXPECT_EQ(message_of(find_k_optimal_opts(args_of({{"force", Value::boolean(true)}}), false,
                                             M::split_exact)),
              "args['force'] only valid for diagnostic='split_nb'");
    EXPECT_EQ(message_of(find_k_optimal_opts(args_of({{"force", Value::string("y")}}), false,
                                             M::split_nb)),
              "args['force'] for diagnostic='split_nb' must be a bool, got the string \"y\"");
    EXPECT_EQ(message_of(find_k_optimal_opts(args_of({{"seed", Value::int64(1)}}), false,
                                             std::nullopt)),
              "method='optimal' does not accept arg 'seed'; allowed: ['n_folds', 'n_perm', "
              "'n_splits', 'force']");
    const auto set = find_k_optimal_opts(
        args_of({{"n_perm", Value::int64(200)}, {"n_splits", Value::int64(30)}}), false,
        M::split_exact);
    ASSERT_TRUE(set.has_value());
    EXPECT_EQ(set->n_perm, 200u);
    EXPECT_EQ(set->n_splits, 30u);
}

TEST(Methods, Which) {
    EXPECT_EQ(which("x_scores").value(), veltra::Pls3Which::x_scores);
    EXPECT_EQ(which("y_scores").value(), veltra::Pls3Which::y_scores);
    EXPECT_EQ(which("both").value(), veltra::Pls3Which::both);
    EXPECT_EQ(message_of(which("X_scores")),
              "unknown which: X_scores; allowed: ['x_scores', 'y_scores', 'both']");
}
