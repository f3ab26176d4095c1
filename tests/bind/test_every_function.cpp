// One short seeded call of every registered function by name, on small valid
// inputs, through the registry's `call` as a host makes it. Each call must end
// in a result of one of the function's result types. The calls reach every
// route of the resampling tests, the searches and the two-block fits, so the
// checked build (sanitizers, assertions) reads each of them once.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "every_function_cases.hpp"

using namespace veltra::bind;

namespace {

using namespace every_function;

bool has_result_type(const FunctionSpec& fn, const Value& value) {
    const Record* r = value.get_if<Record>();
    if (fn.result_types.empty()) return r == nullptr;  // a bare result
    if (r == nullptr || !r->type_name()) return false;
    return std::ranges::find(fn.result_types, *r->type_name()) != fn.result_types.end();
}

std::vector<std::string> registered_names() {
    std::vector<std::string> names;
    for (const FunctionSpec& fn : functions()) names.emplace_back(fn.name);
    return names;
}

class EveryFunction : public testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(EveryFunction, SmallSeededCallsEndInTheirResultTypes) {
    const FunctionSpec& fn = *find_function(GetParam());
    int calls = 0;
    for (const Case& c : cases()) {
        if (c.function != GetParam()) continue;
        ++calls;
        const auto r = call(fn.name, c.args());
        if (!r) {
            ADD_FAILURE() << "call " << calls << ": " << r.error().code << ": " << r.error().message;
            continue;
        }
        EXPECT_TRUE(has_result_type(fn, r->value)) << "call " << calls;
    }
    EXPECT_GT(calls, 0) << "no call of " << fn.name;
}

INSTANTIATE_TEST_SUITE_P(Registry, EveryFunction, testing::ValuesIn(registered_names()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });
