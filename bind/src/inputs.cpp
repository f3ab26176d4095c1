#include "veltra/bind/inputs.hpp"

#include <cmath>
#include <utility>

#include "veltra/bind/coerce.hpp"
#include "veltra/numeric.hpp"

namespace veltra::bind {

namespace {

std::unexpected<BindError> bad(std::string_view name, std::string_view text) {
    return std::unexpected(BindError::invalid_argument(std::string(name) + " " + std::string(text)));
}

std::unexpected<BindError> bad_got(std::string_view name, std::string_view text, const Value& v) {
    return bad(name, std::string(text) + ", got " + describe(v));
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

BindResult<MatF64> Inputs::mat(std::string_view name) {
    auto m = to_mat(take(name));
    if (!m) return bad(name, m.error());
    return std::move(*m);
}

BindResult<std::optional<MatF64>> Inputs::opt_mat(std::string_view name) {
    Value v = take(name);
    if (v.is_none()) return std::optional<MatF64>();
    auto m = to_mat(std::move(v));
    if (!m) return bad(name, m.error());
    return std::optional<MatF64>(std::move(*m));
}

BindResult<VecF64> Inputs::vec(std::string_view name) {
    auto r = to_vec(take(name));
    if (!r) return bad(name, r.error());
    return std::move(*r);
}

BindResult<std::optional<VecF64>> Inputs::opt_vec(std::string_view name) {
    Value v = take(name);
    if (v.is_none()) return std::optional<VecF64>();
    auto r = to_vec(std::move(v));
    if (!r) return bad(name, r.error());
    return std::optional<VecF64>(std::move(*r));
}

BindResult<std::uint64_t> Inputs::usize(std::string_view name) {
    const Value v = take(name);
    auto n = to_usize(v);
    if (!n) return bad(name, n.error());
    return *n;
}

BindResult<std::optional<std::uint64_t>> Inputs::opt_usize(std::string_view name) {
    const Value v = take(name);
    if (v.is_none()) return std::optional<std::uint64_t>();
    auto n = to_usize(v);
    if (!n) return bad(name, n.error());
    return std::optional<std::uint64_t>(*n);
}

BindResult<std::optional<double>> Inputs::opt_f64(std::string_view name) {
    const Value v = take(name);
    if (v.is_none()) return std::optional<double>();
    auto x = to_f64(v);
    if (!x) return bad(name, x.error());
    return std::optional<double>(*x);
}

BindResult<bool> Inputs::boolean(std::string_view name) {
    const Value v = take(name);
    if (const auto* b = v.get_if<bool>()) return *b;
    return bad_got(name, "must be a bool", v);
}

BindResult<std::string> Inputs::string(std::string_view name) {
    Value v = take(name);
    if (auto* s = v.get_if<Str>()) return std::move(*s).into_string();
    return bad_got(name, "must be a string", v);
}

BindResult<std::optional<std::string>> Inputs::opt_string(std::string_view name) {
    Value v = take(name);
    if (v.is_none()) return std::optional<std::string>();
    if (auto* s = v.get_if<Str>()) return std::optional<std::string>(std::move(*s).into_string());
    return bad_got(name, "must be a string", v);
}

BindResult<std::optional<Record>> Inputs::opt_record(std::string_view name) {
    Value v = take(name);
    if (v.is_none()) return std::optional<Record>();
    if (auto* r = v.get_if<Record>()) return std::optional<Record>(std::move(*r));
    return bad_got(name, "must be a record of named values (a dict / named list)", v);
}

BindResult<std::optional<std::uint64_t>> Inputs::seed(std::string_view name) {
    const Value v = take(name);
    if (v.is_none()) return std::optional<std::uint64_t>();
    if (const auto s = seed_of(v)) return std::optional<std::uint64_t>(*s);
    return bad_got(name, "must be a whole number in [0, 2^64) (a decimal string above 2^53)", v);
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
