#include <gtest/gtest.h>

#include <fstream>
#include <new>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "veltra/bind/coerce.hpp"
#include "veltra/bind/error.hpp"
#include "veltra/bind/registry.hpp"
#include "veltra/bind/result_types.hpp"
#include "bind_test_support.hpp"
#include "veltra/error.hpp"

using namespace veltra::bind;
using veltra::bind::test_support::args_of;
using veltra::bind::test_support::error_of;

namespace {

// What the capturing adapter saw: "name=description" per entry, in order.
std::vector<std::string> seen;

BindResult<CallOutput> capture(Inputs& in) {
    seen.clear();
    for (const Field& f : in.entries()) seen.push_back(f.name + "=" + describe(f.value));
    return CallOutput{Value::boolean(true), {}};
}

FunctionSpec with_handler(std::string_view name, Handler h) {
    FunctionSpec spec = *find_function(name);
    spec.handler = h;
    return spec;
}

}  // namespace

TEST(Dispatch, UnknownFunctionComesFirst) {
    const auto r = call("PLS1_fit", args_of({{"bogus", Value()}}));
    EXPECT_EQ(error_of(r), "unknown function 'PLS1_fit'");
    EXPECT_EQ(error_of(call("", Record())), "unknown function ''");
}

TEST(Dispatch, UnexpectedArgumentBeforeMissingOnes) {
    EXPECT_EQ(error_of(call("pls1_fit", args_of({{"y", Value::real(1)}, {"bogus", Value()}, {"X", Value()}}))),
              "pls1_fit() got an unexpected argument 'bogus'");
    // The first unexpected one in the caller's order.
    EXPECT_EQ(error_of(call("pls1_fit", args_of({{"b", Value()}, {"a", Value()}}))),
              "pls1_fit() got an unexpected argument 'b'");
    // Names are case-sensitive.
    EXPECT_EQ(error_of(call("pls1_fit", args_of({{"x", Value()}}))),
              "pls1_fit() got an unexpected argument 'x'");
}

TEST(Dispatch, MissingRequiredInParameterOrder) {
    // A null counts as missing.
    EXPECT_EQ(error_of(call("pls1_fit", args_of({{"X", Value()}, {"y", Value::real(1)}}))),
              "pls1_fit() missing required argument 'X'");
    EXPECT_EQ(error_of(call("pls1_fit", args_of({{"X", Value::real(1)}}))),
              "pls1_fit() missing required argument 'y'");
}

// Caller's order first, a null taking its default in place, then the
// defaults of the parameters not given, in parameter order; the argument
// record's type name is ignored.
TEST(Dispatch, DefaultsFillInParameterOrder) {
    using Seen = std::vector<std::string>;
    struct Case {
        const char* fn;
        Record args;
        Seen seen;
    };
    Case cases[] = {
        {"pls1_fit", args_of({{"X", Value::real(1)}, {"y", Value::real(2)}}),
         {"X=1", "y=2", "k=1", "k_max=null", "find_k_args=null", "pre_standardized=false", "seed=null",
          "weights=null"}},
        {"pls1_fit", args_of({{"weights", Value::real(3)}, {"y", Value::real(2)}, {"X", Value::real(1)}}),
         {"weights=3", "y=2", "X=1", "k=1", "k_max=null", "find_k_args=null", "pre_standardized=false",
          "seed=null"}},
        {"pls1_fit", args_of({{"X", Value::real(1)}, {"y", Value::real(2)}, {"k", Value()}, {"seed", Value()}}),
         {"X=1", "y=2", "k=1", "seed=null", "k_max=null", "find_k_args=null", "pre_standardized=false",
          "weights=null"}},
        {"preprocess", Record(), {"X=null", "Y=null", "weights=null"}},
        {"split_nb_gate", Record::typed("Whatever").field("X", Value::real(1)), {"X=1", "weights=null"}},
    };
    for (Case& c : cases) {
        ASSERT_TRUE(dispatch(with_handler(c.fn, capture), std::move(c.args)).has_value()) << c.fn;
        EXPECT_EQ(seen, c.seen) << c.fn;
    }
    ASSERT_TRUE(dispatch(with_handler("pls1_find_k_optimal", capture),
                         args_of({{"X", Value::real(1)}, {"y", Value::real(2)},
                                  {"k_max", Value::int64(3)}, {"selector", Value()}}))
                    .has_value());
    EXPECT_TRUE(seen[3] == "selector=the string \"r2_se\"" && seen.size() == 10u);
}

TEST(Dispatch, RepeatedArgumentNamesAreRefused) {
    // Only reachable from C++ callers that bypass Record::push.
    Record twice = Record().field("X", Value::real(1)).field("X", Value::real(2));
    const auto r = dispatch(with_handler("split_nb_gate", capture), std::move(twice));
    EXPECT_EQ(error_of(r), "duplicate key 'X'");
    EXPECT_EQ(r.error().code, "invalid_argument");
}

TEST(Dispatch, AdapterErrorsPassThroughUnchanged) {
    const FunctionSpec spec = with_handler("split_nb_gate", [](Inputs&) -> BindResult<CallOutput> {
        return std::unexpected(BindError::from_core(veltra::VeltraError::InvalidWeights{"negative"}));
    });
    const auto r = dispatch(spec, args_of({{"X", Value::real(1)}}));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code, "invalid_weights");
    EXPECT_EQ(r.error().details.size(), 1u);
}

TEST(Guard, InternalFailureBecomesInternalError) {
    const FunctionSpec spec = with_handler("plssvd_fit", [](Inputs&) -> BindResult<CallOutput> {
        veltra::internal_failure("boom");
    });
    const auto r = dispatch(spec, args_of({{"X", Value::real(1)}, {"Y", Value::real(1)}}));
    EXPECT_EQ(error_of(r), "panic in plssvd_fit: boom");
    EXPECT_EQ(r.error().code, "internal");
    EXPECT_TRUE(r.error().details.empty());
}

TEST(Guard, AnyExceptionEndsOnlyThatCall) {
    const auto run = [](Handler h) {
        return dispatch(with_handler("rotate", h), args_of({{"model_or_W", Value::real(1)}}));
    };
    EXPECT_EQ(error_of(run([](Inputs&) -> BindResult<CallOutput> { throw std::runtime_error("x"); })),
              "panic in rotate: x");
    EXPECT_EQ(error_of(run([](Inputs&) -> BindResult<CallOutput> { throw std::bad_alloc(); })),
              "panic in rotate: std::bad_alloc");
    const auto odd = run([](Inputs&) -> BindResult<CallOutput> { throw 42; });
    EXPECT_EQ(error_of(odd), "panic in rotate: non-string panic payload");
    EXPECT_EQ(odd.error().code, "internal");
    // A broken owned matrix read inside an adapter ends the call the same way.
    const auto broken = run([](Inputs&) -> BindResult<CallOutput> {
        (void)MatF64::col_major_owned(2, 2, {1.0}).as_mat();
        return CallOutput{};
    });
    EXPECT_EQ(error_of(broken), "panic in rotate: assertion failed: size == Some(len)");
    // Nothing of a failed call remains.
    EXPECT_TRUE(run(capture).has_value());
}

// Names, order and uniqueness of both tables are in the golden registry file;
// that the adapter pairs behave alike is checked from Python.
TEST(Registry, Lookup) {
    for (const FunctionSpec& fn : functions()) EXPECT_EQ(find_function(fn.name), &fn);
    for (const ResultTypeSpec& t : result_types()) EXPECT_EQ(find_result_type(t.name), &t);
    EXPECT_TRUE(find_function("PLS1_fit") == nullptr && find_result_type("Nope") == nullptr);
}

TEST(JsonStr, Escapes) {
    EXPECT_EQ(json_str("a\tb\nc\"d"), "\"a\\u0009b\\nc\\\"d\"");
    EXPECT_EQ(json_str("\\"), "\"\\\\\"");
    EXPECT_EQ(json_str(std::string("\r\x01\x1f\0", 4)), "\"\\u000d\\u0001\\u001f\\u0000\"");
    EXPECT_EQ(json_str("\x7f\xc3\xa9/"), "\"\x7f\xc3\xa9/\"");
    EXPECT_EQ(json_str(""), "\"\"");
}

TEST(RegistryJson, MatchesTheGoldenFile) {
    // tests/data/registry.json was written by hand from the function and
    // result-type tables, parameter by parameter.
    std::ifstream in(VELTRA_TEST_DATA_DIR "/registry.json", std::ios::binary);
    ASSERT_TRUE(in.good());
    std::stringstream golden;
    golden << in.rdbuf();
    const std::string text = registry_json();
    EXPECT_EQ(text, golden.str());
    EXPECT_EQ(registry_json(), text);

    const std::string first_param =
        "        {\"name\": \"X\", \"kind\": \"mat\", \"required\": false, \"keyword_only\": false, "
        "\"default\": null}";
    EXPECT_EQ(text.find("        {"), text.find(first_param));
}
