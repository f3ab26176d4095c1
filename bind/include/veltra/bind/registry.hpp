// The static registry of the 21 public functions and the single entry that
// runs any of them by name. `call` checks names, presence and defaults only;
// each function's adapter reads and checks the values itself.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "veltra/bind/inputs.hpp"
#include "veltra/bind/value.hpp"

namespace veltra::bind {

// What an adapter returns on success: the result (a typed record, or a bare
// real vector for pls1_predict) and zero or one warning records.
struct CallOutput {
    Value value;
    std::vector<Record> warnings;
};

using Handler = BindResult<CallOutput> (*)(Inputs&);

// What a parameter holds; descriptive only (shown by registry_json).
enum class ParamKind : std::uint8_t {
    Mat,
    Vec,
    VecOrMat,
    Int,
    Seed,
    Float,
    Bool,
    Str,
    KOrMode,
    Args,
    Model,
    ModelOrMat,
};

std::string_view param_kind_text(ParamKind kind);

// What a parameter takes when it is absent or null.
struct ParamDefault {
    enum class Tag : std::uint8_t { Required, Null, Bool, Int, Str };
    Tag tag = Tag::Null;
    bool b = false;
    std::int64_t i = 0;
    std::string_view s;

    static constexpr ParamDefault required() { return {Tag::Required, false, 0, {}}; }
    static constexpr ParamDefault null() { return {Tag::Null, false, 0, {}}; }
    static constexpr ParamDefault boolean(bool v) { return {Tag::Bool, v, 0, {}}; }
    static constexpr ParamDefault integer(std::int64_t v) { return {Tag::Int, false, v, {}}; }
    static constexpr ParamDefault str(std::string_view v) { return {Tag::Str, false, 0, v}; }
};

struct ParamSpec {
    std::string_view name;
    ParamDefault default_value;
    ParamKind kind;
    bool keyword_only;
};

struct FunctionSpec {
    std::string_view name;
    std::span<const ParamSpec> params;
    std::span<const std::string_view> result_types;
    Handler handler;
};

// The 21 functions in table order.
std::span<const FunctionSpec> functions();
// The function of that exact name, or null.
const FunctionSpec* find_function(std::string_view name);

// Runs the public function `name` with the caller's named arguments (the
// record's type name is ignored). Checks, in order: unknown function, the
// first unexpected argument, the first missing required argument (null
// counts as absent); then fills defaults and runs the adapter under the
// guard that turns an escaped exception into `internal` "panic in {}: {}".
BindResult<CallOutput> call(std::string_view name, Record arguments);
// `call` after the function has been found.
BindResult<CallOutput> dispatch(const FunctionSpec& function, Record arguments);

// The JSON description of every function and every result type; the same
// text on every call.
std::string registry_json();
// A JSON string literal of `text`.
std::string json_str(std::string_view text);

}  // namespace veltra::bind
