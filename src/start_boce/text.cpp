#include "start_boce/text.hpp"

#include <charconv>
#include <cmath>

namespace start_boce::text {

void append_two_decimals(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";  // Python drops the sign of a NaN
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // to_chars with a precision rounds the exact binary value, ties to even, like printf("%.2f").
    char buffer[400];  // the largest double has 309 integer digits
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    out.append(buffer, result.ptr);
}

std::string two_decimals(double value) {
    std::string out;
    append_two_decimals(out, value);
    return out;
}

void append_integer(std::string& out, long long value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void append_html_escaped(std::string& out, std::string_view utf8) {
    for (const char c : utf8) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#x27;";
                break;
            default:
                out += c;
        }
    }
}

std::string mac_text(std::uint64_t node_id) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(17);
    for (int pair = 0; pair < 6; ++pair) {
        if (pair > 0) out += ':';
        const int shift = 40 - 8 * pair;
        out += digits[(node_id >> (shift + 4)) & 0xF];
        out += digits[(node_id >> shift) & 0xF];
    }
    return out;
}

}  // namespace start_boce::text
