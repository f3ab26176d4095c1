// Adapter behaviour that Python cannot reach: value kinds the Python seam
// never produces (logical vectors), checked through the registry's call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "veltra/bind/error.hpp"
#include "veltra/bind/registry.hpp"
#include "bind_test_support.hpp"

using namespace veltra::bind;
using veltra::bind::test_support::error_of;

namespace {

Value column_major(std::size_t rows, std::size_t cols) {
    std::vector<double> data(rows * cols);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<double>((i * 7) % 11);
    return Value(MatF64::col_major_owned(rows, cols, std::move(data)));
}

}  // namespace

TEST(Adapters, LogicalResponseBlockGetsTheShortMessage) {
    for (const char* name : {"pls3_fit", "plssvd_fit"}) {
        Record args;
        args.set("X", column_major(4, 2));
        args.set("Y", Value(BoolVec{true, false, true, true}));
        EXPECT_EQ(error_of(call(name, std::move(args))), "Y must be 2-D, got 1-D") << name;
    }
}

TEST(Adapters, LogicalWeightsAndResponseReadAsReals) {
    Record args;
    args.set("Y", Value(BoolVec{true, false, true, false}));
    args.set("weights", Value(BoolVec{true, true, false, true}));
    const auto r = call("preprocess", std::move(args));
    ASSERT_TRUE(r.has_value()) << r.error().message;
    const Record& rec = *r->value.get_if<Record>();
    const auto w = rec.find("weights_normalized")->get_if<VecF64>()->values();
    EXPECT_EQ(std::vector<double>(w.begin(), w.end()), (std::vector<double>{4.0 / 3, 4.0 / 3, 0, 4.0 / 3}));
    EXPECT_EQ(rec.find("Y_std")->get_if<VecF64>()->size(), 4u);
}
