// The one error type that leaves the binding layer: a code, the complete
// message, and detail fields that the host exposes one by one.
#pragma once

#include <string>
#include <string_view>

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

}  // namespace veltra::bind
