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

namespace {

// The entity html.escape(text, quote=True) writes for a character, or null for one it keeps.
const char* html_entity(char c) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&#x27;";
        default:
            return nullptr;
    }
}

}  // namespace

void append_html_escaped(std::string& out, std::string_view utf8) {
    std::size_t kept_from = 0;  // runs without a special character are copied whole
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (const char* entity = html_entity(utf8[i])) {
            out.append(utf8.substr(kept_from, i - kept_from));
            out += entity;
            kept_from = i + 1;
        }
    }
    out.append(utf8.substr(kept_from));
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
