#include "veltra/bind/fmt.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "veltra/error.hpp"

namespace veltra::bind {

namespace {

// std::to_chars with a precision rounds the exact binary value, ties to
// even, like printf in the C locale.
std::string to_chars_precise(double x, std::chars_format format, int precision) {
    std::array<char, 400> buf{};
    const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), x, format, precision);
    internal_check(ec == std::errc{}, "to_chars failed on a finite double");
    return std::string(buf.data(), end);
}

}  // namespace

std::string g4(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    if (x == 0.0) return std::signbit(x) ? "-0" : "0";
    const std::string sci = to_chars_precise(x, std::chars_format::scientific, 3);
    const std::size_t e_pos = sci.find('e');
    // The exponent of the rounded form: 9999.6 rounds to 1.000e+04.
    const int e = std::atoi(sci.c_str() + e_pos + 1);
    if (e < -4 || e >= 4) {
        std::string out = trim_zeros(std::string_view(sci).substr(0, e_pos));
        out += e < 0 ? "e-" : "e+";
        const int mag = std::abs(e);
        if (mag < 10) out.push_back('0');
        out += std::to_string(mag);
        return out;
    }
    return trim_zeros(to_chars_precise(x, std::chars_format::fixed, 3 - e));
}

std::string trim_zeros(std::string_view text) {
    if (text.find('.') == std::string_view::npos) return std::string(text);
    std::size_t end = text.size();
    while (end > 0 && text[end - 1] == '0') --end;
    while (end > 0 && text[end - 1] == '.') --end;
    return std::string(text.substr(0, end));
}

std::string py_list(std::span<const std::string_view> names) {
    std::string out = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += ", ";
        out += "'";
        out += names[i];
        out += "'";
    }
    out += "]";
    return out;
}

}  // namespace veltra::bind
