#include "veltra/bind/coerce.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include "veltra/text.hpp"

namespace veltra::bind {

namespace {

constexpr double two_pow_53 = 9007199254740992.0;
constexpr auto i64_max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::unexpected<std::string> got(std::string_view text, const Value& v) {
    return std::unexpected(std::string(text) + ", got " + describe(v));
}

// The text of describe: scalars and strings with their content, the other
// kinds by name.
struct Description {
    std::string operator()(std::monostate) const { return "null"; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(std::int64_t i) const { return std::to_string(i); }
    std::string operator()(std::uint64_t u) const { return std::to_string(u); }
    std::string operator()(double x) const { return format_real(x); }
    std::string operator()(const Str& s) const { return "the string " + debug_quoted(s.view()); }
    std::string operator()(const VecF64&) const { return "a vector"; }
    std::string operator()(const MatF64&) const { return "a matrix"; }
    std::string operator()(const IntMap&) const { return "an integer-keyed map"; }
    std::string operator()(const IntVec&) const { return "an integer vector"; }
    std::string operator()(const BoolVec&) const { return "a logical vector"; }
    std::string operator()(const Record&) const { return "a record"; }
    std::string operator()(const List&) const { return "a list"; }
};

}  // namespace

Coerced<bool> to_bool(const Value& v) {
    if (const bool* b = v.get_if<bool>()) return *b;
    return got("must be a bool", v);
}

Coerced<double> to_f64(const Value& v) {
    if (const auto* i = v.get_if<std::int64_t>()) return static_cast<double>(*i);
    if (const auto* u = v.get_if<std::uint64_t>()) return static_cast<double>(*u);
    if (const auto* x = v.get_if<double>()) return *x;
    return got("must be a number", v);
}

Coerced<std::uint64_t> to_usize(const Value& v) {
    if (const auto* i = v.get_if<std::int64_t>()) {
        if (*i >= 0) return static_cast<std::uint64_t>(*i);
    } else if (const auto* u = v.get_if<std::uint64_t>()) {
        if (*u <= i64_max) return *u;
    } else if (const auto* x = v.get_if<double>()) {
        // -0 passes the range test and converts to 0.
        if (std::isfinite(*x) && std::trunc(*x) == *x && *x >= 0.0 && *x <= two_pow_53)
            return static_cast<std::uint64_t>(*x);
    }
    return got("must be a non-negative whole number", v);
}

Coerced<VecF64> to_vec(Value v) {
    switch (v.kind()) {
        case Kind::Bool:
            return VecF64(std::vector<double>{*v.get_if<bool>() ? 1.0 : 0.0});
        case Kind::Int:
        case Kind::UInt:
        case Kind::Float:
            return VecF64(std::vector<double>{*to_f64(v)});
        case Kind::Vec:
            return std::move(*v.get_if<VecF64>());
        case Kind::IntVec: {
            const auto& src = *v.get_if<IntVec>();
            std::vector<double> out(src.size());
            for (std::size_t i = 0; i < src.size(); ++i) out[i] = static_cast<double>(src[i]);
            return VecF64(std::move(out));
        }
        case Kind::BoolVec: {
            const auto& src = *v.get_if<BoolVec>();
            std::vector<double> out(src.size());
            for (std::size_t i = 0; i < src.size(); ++i) out[i] = src[i] ? 1.0 : 0.0;
            return VecF64(std::move(out));
        }
        case Kind::Mat:
            return std::unexpected(std::string("must be 1-D, got 2-D"));
        default:
            return got("must be a numeric vector", v);
    }
}

Coerced<MatF64> to_mat(Value v) {
    switch (v.kind()) {
        case Kind::Mat:
            return std::move(*v.get_if<MatF64>());
        case Kind::Bool:
        case Kind::Int:
        case Kind::UInt:
        case Kind::Float:
            return std::unexpected(std::string("must be 2-D, got 0-D"));
        case Kind::Vec:
        case Kind::IntVec:
        case Kind::BoolVec:
            return std::unexpected(std::string("must be 2-D, got 1-D"));
        default:
            return got("must be a numeric matrix", v);
    }
}

std::string describe(const Value& v) { return std::visit(Description{}, v.data()); }

}  // namespace veltra::bind
