#include "veltra/bind/inputs.hpp"

#include <cmath>
#include <type_traits>
#include <utility>

#include "veltra/bind/coerce.hpp"
#include "veltra/numeric.hpp"

namespace veltra::bind {

namespace {

std::unexpected<BindError> bad(std::string_view name, std::string_view text) {
    return std::unexpected(BindError::invalid_argument(std::string(name) + " " + std::string(text)));
}

std::unexpected<std::string> got(std::string_view text, const Value& v) {
    return std::unexpected(std::string(text) + ", got " + describe(v));
}

// A string of decimal digits (leading zeros allowed) up to 2^64 - 1.
std::optional<std::uint64_t> parse_seed_digits(std::string_view s) {
    if (s.empty()) return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto tens = checked_mul(n, 10);
        const auto next = tens ? checked_add(*tens, static_cast<std::uint64_t>(c - '0')) : tens;
        if (!next) return std::nullopt;
        n = *next;
    }
    return n;
}

std::optional<std::uint64_t> seed_of(const Value& v) {
    if (const auto* i = v.get_if<std::int64_t>()) {
        if (*i >= 0) return static_cast<std::uint64_t>(*i);
    } else if (const auto* u = v.get_if<std::uint64_t>()) {
        return *u;
    } else if (const auto* x = v.get_if<double>()) {
        if (std::isfinite(*x) && std::trunc(*x) == *x && *x >= 0.0 && *x <= 9007199254740992.0)
            return static_cast<std::uint64_t>(*x);
    } else if (const auto* s = v.get_if<Str>()) {
        return parse_seed_digits(s->view());
    }
    return std::nullopt;
}

// The conversions that only the reader makes, beside those of coerce.hpp.
Coerced<std::string> as_string(Value v) {
    if (auto* s = v.get_if<Str>()) return std::move(*s).into_string();
    return got("must be a string", v);
}

Coerced<Record> as_record(Value v) {
    if (auto* r = v.get_if<Record>()) return std::move(*r);
    return got("must be a record of named values (a dict / named list)", v);
}

Coerced<std::uint64_t> as_seed(const Value& v) {
    if (const auto s = seed_of(v)) return *s;
    return got("must be a whole number in [0, 2^64) (a decimal string above 2^53)", v);
}

// A converted argument, its failure worded under the argument's name.
template <class T>
BindResult<T> named(std::string_view name, Coerced<T> converted) {
    if (!converted) return bad(name, converted.error());
    return std::move(*converted);
}

// An argument that may be null: none, or the value as `convert` makes it.
template <class Convert>
auto unless_null(std::string_view name, Value v, Convert convert)
    -> BindResult<std::optional<typename std::invoke_result_t<Convert, Value>::value_type>> {
    using T = typename std::invoke_result_t<Convert, Value>::value_type;
    if (v.is_none()) return std::optional<T>();
    VELTRA_TRY(converted, named(name, convert(std::move(v))));
    return std::optional<T>(std::move(*converted));
}

}  // namespace

Inputs::Inputs(std::string_view function_name, std::vector<Field> entries)
    : function_(function_name), entries_(std::move(entries)), used_(entries_.size(), false) {}

Value Inputs::take(std::string_view name) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].name == name) {
            used_[i] = true;
            return std::exchange(entries_[i].value, Value());
        }
    }
    return Value();
}

BindResult<MatF64> Inputs::mat(std::string_view name) { return named(name, to_mat(take(name))); }

BindResult<std::optional<MatF64>> Inputs::opt_mat(std::string_view name) {
    return unless_null(name, take(name), to_mat);
}

BindResult<VecF64> Inputs::vec(std::string_view name) { return named(name, to_vec(take(name))); }

BindResult<std::optional<VecF64>> Inputs::opt_vec(std::string_view name) {
    return unless_null(name, take(name), to_vec);
}

BindResult<std::uint64_t> Inputs::usize(std::string_view name) {
    return named(name, to_usize(take(name)));
}

BindResult<std::optional<std::uint64_t>> Inputs::opt_usize(std::string_view name) {
    return unless_null(name, take(name), to_usize);
}

BindResult<std::optional<double>> Inputs::opt_f64(std::string_view name) {
    return unless_null(name, take(name), to_f64);
}

BindResult<bool> Inputs::boolean(std::string_view name) { return named(name, to_bool(take(name))); }

BindResult<std::string> Inputs::string(std::string_view name) {
    return named(name, as_string(take(name)));
}

BindResult<std::optional<std::string>> Inputs::opt_string(std::string_view name) {
    return unless_null(name, take(name), as_string);
}

BindResult<std::optional<Record>> Inputs::opt_record(std::string_view name) {
    return unless_null(name, take(name), as_record);
}

BindResult<std::optional<std::uint64_t>> Inputs::seed(std::string_view name) {
    return unless_null(name, take(name), as_seed);
}

BindResult<void> Inputs::finish() const {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (!used_[i] && !entries_[i].value.is_none())
            return std::unexpected(BindError::invalid_argument(
                std::string(function_) + "() does not use argument '" + entries_[i].name +
                "' in this call"));
    }
    return {};
}

}  // namespace veltra::bind
