// The one error type that leaves the binding layer: a code, the complete
// message, and detail fields that the host exposes one by one.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "veltra/bind/value.hpp"
#include "veltra/error.hpp"

namespace veltra::bind {

struct BindError {
    std::string message;
    Record details;  // untyped; empty for most errors
    std::string_view code;  // always a static text

    // A bad argument of a call (reader, registry, adapters, conversions).
    static BindError invalid_argument(std::string message);
    // A bad option record, option key or method name.
    static BindError invalid_args(std::string message);
    static BindError internal(std::string message);

    // An engine error with its kind as code, its display text as message and,
    // for invalid weights and degenerate resampling, its detail fields.
    static BindError from_core(VeltraError error);
};

// A core result as a binding result: the value as it is, an error through
// BindError::from_core. Every adapter hands its core calls' results through
// here, so an engine error always reaches the caller with its own kind.
template <class T>
BindResult<T> from_core(Result<T> result) {
    if (!result) return std::unexpected(BindError::from_core(std::move(result).error()));
    if constexpr (std::is_void_v<T>)
        return {};
    else
        return std::move(*result);
}

// A refusal that the core defines but the binding layer finds:
// `return from_core(fail(VeltraError::AlreadyRotated{}));`.
inline std::unexpected<BindError> from_core(std::unexpected<VeltraError> error) {
    return std::unexpected(BindError::from_core(std::move(error).error()));
}

}  // namespace veltra::bind
