#include "veltra/text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <system_error>

#include "veltra/error.hpp"

namespace veltra {

namespace {

struct CodeRange {
    char32_t lo, hi;
};

constexpr CodeRange nonprintable_ranges[] = {
#include "nonprintable_ranges.inc"
};

const char hex_digits[] = "0123456789abcdef";

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when the bytes
// there are not valid UTF-8 (overlong forms and surrogates are invalid).
std::size_t decode_utf8(std::string_view s, std::size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void append_hex(std::string& out, std::uint32_t v) {
    char buf[8];
    int n = 0;
    do {
        buf[n++] = hex_digits[v & 0xF];
        v >>= 4;
    } while (v != 0);
    while (n > 0) out.push_back(buf[--n]);
}

}  // namespace

bool is_printable_code_point(char32_t cp) {
    const auto* end = std::end(nonprintable_ranges);
    const auto* it = std::upper_bound(std::begin(nonprintable_ranges), end, cp,
                                      [](char32_t c, const CodeRange& r) { return c < r.lo; });
    if (it == std::begin(nonprintable_ranges)) return true;
    --it;
    return cp > it->hi;
}

namespace {

// The shortest round-trip digits of a finite x in scientific form: the
// mantissa as to_chars writes it ("-1.5") and the decimal exponent.
struct Scientific {
    std::string mantissa;
    int exp10 = 0;
};

Scientific scientific(double x) {
    std::array<char, 64> buf{};
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), x,
                                   std::chars_format::scientific);
    internal_check(ec == std::errc{}, "to_chars failed on a finite double");
    const std::string_view sci(buf.data(), static_cast<std::size_t>(end - buf.data()));
    const std::size_t e_pos = sci.find('e');
    Scientific out{std::string(sci.substr(0, e_pos)), 0};
    std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1),
                    sci.data() + sci.size(), out.exp10);
    return out;
}

}  // namespace

std::string format_real(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    // Shortest round-trip digits in scientific form, then laid out by hand:
    // to_chars(fixed) without a precision is not shortest for large values.
    const Scientific sci = scientific(x);
    std::string out;
    std::size_t pos = 0;
    if (sci.mantissa[0] == '-') {
        out.push_back('-');
        pos = 1;
    }
    std::string digits;
    for (std::size_t i = pos; i < sci.mantissa.size(); ++i)
        if (sci.mantissa[i] != '.') digits.push_back(sci.mantissa[i]);
    const int exp10 = sci.exp10;
    // The value is 0.d1d2d3... x 10^(exp10 + 1).
    const long point = static_cast<long>(exp10) + 1;
    const long nd = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= nd) {
        out += digits;
        out.append(static_cast<std::size_t>(point - nd), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

std::string format_exp(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    const Scientific sci = scientific(x);
    return sci.mantissa + "e" + std::to_string(sci.exp10);
}

std::string format_rate3(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    std::array<char, 400> buf{};
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), x,
                                   std::chars_format::fixed, 3);
    internal_check(ec == std::errc{}, "to_chars failed on a finite double");
    return std::string(buf.data(), end);
}

std::string format_count(std::uint64_t n) { return std::to_string(n); }

std::string debug_escaped(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        char32_t cp = 0;
        const std::size_t len = decode_utf8(s, i, cp);
        if (len == 0) {
            const auto b = static_cast<unsigned char>(s[i]);
            out += "\\x";
            out.push_back(hex_digits[b >> 4]);
            out.push_back(hex_digits[b & 0xF]);
            ++i;
            continue;
        }
        switch (cp) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\n': out += "\\n"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (!is_printable_code_point(cp)) {
                    out += "\\u{";
                    append_hex(out, static_cast<std::uint32_t>(cp));
                    out.push_back('}');
                } else {
                    out.append(s.substr(i, len));
                }
        }
        i += len;
    }
    return out;
}

std::string debug_quoted(std::string_view s) {
    std::string out(1, '"');
    out += debug_escaped(s);
    out.push_back('"');
    return out;
}

}  // namespace veltra
