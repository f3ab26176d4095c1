// Small helpers shared by the binding tests.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "veltra/bind/error.hpp"
#include "veltra/bind/value.hpp"

namespace veltra::bind::test_support {

// The message of a failed result, after checking that it failed with `code`
// and no details.
template <class T>
std::string message_of(const BindResult<T>& r, std::string_view code = "invalid_argument") {
    EXPECT_FALSE(r.has_value());
    if (r.has_value()) return "<no error>";
    EXPECT_EQ(r.error().code, code);
    EXPECT_TRUE(r.error().details.empty());
    return r.error().message;
}

// The message of a failed call.
template <class T>
std::string error_of(const BindResult<T>& r) {
    EXPECT_FALSE(r.has_value());
    return r.has_value() ? "<no error>" : r.error().message;
}

// initializer_list elements are const; the value is moved out of each.
struct Arg {
    std::string name;
    mutable Value value;
};

inline Record args_of(std::initializer_list<Arg> named) {
    Record r;
    for (const Arg& a : named) r.set(a.name, std::move(a.value));
    return r;
}

}  // namespace veltra::bind::test_support
