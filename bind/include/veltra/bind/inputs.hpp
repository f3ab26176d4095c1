// The argument reader of one call. The registry builds it from the caller's
// named values plus the defaults it filled in; the adapter takes each
// argument out once, converted, and `finish` then rejects any non-null
// argument that the adapter left unread. Every failure is an
// `invalid_argument` error "{name} {text}".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "veltra/bind/value.hpp"

namespace veltra::bind {

class Inputs {
  public:
    // `function_name` is the registry's name of the called function and must
    // be a static text.
    Inputs(std::string_view function_name, std::vector<Field> entries);

    std::string_view function_name() const { return function_; }
    std::span<const Field> entries() const { return entries_; }

    // Each getter moves the first entry of that name out (leaving null) and
    // marks it used; an absent argument reads as null. Required getters fail
    // on null, optional ones give nothing.
    BindResult<MatF64> mat(std::string_view name);
    BindResult<std::optional<MatF64>> opt_mat(std::string_view name);
    BindResult<VecF64> vec(std::string_view name);
    BindResult<std::optional<VecF64>> opt_vec(std::string_view name);
    BindResult<std::uint64_t> usize(std::string_view name);
    BindResult<std::optional<std::uint64_t>> opt_usize(std::string_view name);
    BindResult<std::optional<double>> opt_f64(std::string_view name);
    BindResult<bool> boolean(std::string_view name);
    BindResult<std::string> string(std::string_view name);
    BindResult<std::optional<std::string>> opt_string(std::string_view name);
    BindResult<std::optional<Record>> opt_record(std::string_view name);
    // A 64-bit seed: a non-negative integer, a whole real up to 2^53, or a
    // string of decimal digits up to 2^64 - 1; null gives none.
    BindResult<std::optional<std::uint64_t>> seed(std::string_view name);
    // The value as it is, for adapters that convert it by their own rule.
    Value take(std::string_view name);

    // Fails with "{}() does not use argument '{}' in this call" for the first
    // entry, in entry order, that is unread and not null.
    BindResult<void> finish() const;

  private:
    std::string_view function_;
    std::vector<Field> entries_;
    std::vector<bool> used_;
};

}  // namespace veltra::bind
