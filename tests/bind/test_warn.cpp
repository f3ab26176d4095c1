#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "veltra/bind/fmt.hpp"
#include "veltra/bind/warn.hpp"

using namespace veltra::bind;

namespace {

std::vector<std::string> names_of(const Record& r) {
    std::vector<std::string> out;
    for (const Field& f : r.fields()) out.push_back(f.name);
    return out;
}

std::string str_field(const Record& r, std::string_view name) {
    return std::string(r.find(name)->get_if<Str>()->view());
}

}  // namespace

TEST(G4, AgreesWithTheCLibrary) {
    // printf's %.4g in the C locale is the reference form.
    // Exact binary ties (1.0625, 10.625, 10.875) go to the even digit.
    const double inf = std::numeric_limits<double>::infinity();
    const double xs[] = {1.0,     0.1,     123.45,   99995,      99994.9,     0.00012345,
                         0.000099995, 1.5e-300, -7.77777e7, 1e4,   9999.4,      2.0 / 3.0,
                         1.7976931348623157e308, 12.5, 0.125, 12345.678, 0.000123456, 2.5,
                         100,     1e-5,    9999.6,   -0.00001234, 1e100,      0.0001,
                         1234,    5e-324,  48,       3.14159,    0.0625,      1.0625,
                         10.625,  10.875,  0.0,      -0.0,       inf,         -inf,
                         std::numeric_limits<double>::quiet_NaN()};
    for (double x : xs) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.4g", x);
        EXPECT_EQ(g4(x), buf) << x;
    }
}

TEST(TrimZeros, Examples) {
    for (const auto& [in, out] : {std::pair{"2.500", "2.5"}, {"100.0", "100"}, {"0.0001000", "0.0001"},
                                  {"1.000", "1"}, {"1200", "1200"}, {"-1.200", "-1.2"}})
        EXPECT_EQ(trim_zeros(in), out);
}

// Lists of plain names, empty ones included, are in the adapter refusal table.
TEST(PyList, NamesAreNotEscaped) {
    const std::string_view quote[] = {"it's"};
    EXPECT_EQ(py_list(quote), "['it's']");
}

TEST(Rerouted, FullWarning) {
    const auto w = rerouted("split_nb", "split_exact", 1000, 3.14159, 48);
    ASSERT_TRUE(w.has_value());
    EXPECT_FALSE(w->type_name().has_value());
    EXPECT_EQ(names_of(*w), (std::vector<std::string>{"kind", "requested", "actual", "n_perm",
                                                      "stable_rank", "n_eff", "message"}));
    EXPECT_EQ(str_field(*w, "message"),
              "'split_nb' was rerouted to 'split_exact': the split_nb auto-gate flagged this "
              "design (stable rank of the standardized X = 3.142; n_eff = 48). The fallback runs "
              "n_perm=1000 permutations, so it costs more than split_nb. Pass args={'force': "
              "True} to run split_nb anyway.");
}

TEST(Rerouted, MissingParts) {
    const auto no_rank = rerouted("split_nb", "split_exact", 1000, std::nullopt, 48);
    const auto no_actual = rerouted("split_nb", std::nullopt, 1000, std::nullopt, 48);
    const auto no_request = rerouted(std::nullopt, "split_exact", 1000, std::nullopt, 48);
    const auto no_perm = rerouted("split_nb", "split_exact", std::nullopt, std::nullopt, 48);
    const auto huge = rerouted("split_nb", "split_exact", ~std::uint64_t{0}, std::nullopt,
                               std::numeric_limits<double>::quiet_NaN());
    ASSERT_TRUE(no_rank && no_actual && no_request && no_perm && huge);
    const auto has = [](const Record& r, std::string_view text) {
        return str_field(r, "message").find(text) != std::string::npos;
    };
    EXPECT_TRUE(has(*no_rank, "flagged this design (n_eff = 48). ") &&
                no_rank->find("stable_rank")->is_none());
    EXPECT_EQ(str_field(*no_actual, "actual"), "None");
    EXPECT_EQ(str_field(*no_actual, "message").rfind("'split_nb' was rerouted to 'None': ", 0), 0u);
    EXPECT_EQ(str_field(*no_request, "requested"), "None");
    EXPECT_TRUE(no_perm->find("n_perm")->is_none() && has(*no_perm, "n_perm=None permutations"));
    EXPECT_EQ(*huge->find("n_perm")->get_if<std::int64_t>(), INT64_MAX);
    EXPECT_TRUE(has(*huge, "n_perm=18446744073709551615 permutations") && has(*huge, "(n_eff = nan)"));
}

// auto, and split_nb that ran as asked, are checked from Python.
TEST(Rerouted, NoWarning) {
    EXPECT_FALSE(rerouted("auto", std::nullopt, 1000, 2.0, 48).has_value());
    EXPECT_FALSE(rerouted(std::nullopt, std::nullopt, 1000, 2.0, 48).has_value());
    EXPECT_TRUE(rerouted("Auto", "split_exact", 1000, 2.0, 48).has_value());
}
