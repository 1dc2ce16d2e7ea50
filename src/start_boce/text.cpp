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

// As Python's html.escape(text, quote=True): & < > " ' become entities.
void append_html_escaped_char(std::string& out, char c) {
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

void append_code_point(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    }
    out += static_cast<char>(0x80 | (code_point & 0x3F));
}

constexpr std::uint32_t replacement_character = 0xFFFD;

bool is_surrogate(std::uint32_t code_point) { return code_point >= 0xD800 && code_point <= 0xDFFF; }

template <typename Unit>
void append_units(std::string& out, const Unit* units, std::size_t length, bool escape_html) {
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t code_point = units[i];
        if (escape_html && is_surrogate(code_point)) {
            append_code_point(out, replacement_character);
        } else if (code_point >= 0x80) {
            append_code_point(out, code_point);
        } else if (escape_html) {
            append_html_escaped_char(out, static_cast<char>(code_point));
        } else {
            out += static_cast<char>(code_point);
        }
    }
}

}  // namespace

void append_utf8(std::string& out, const void* units, std::size_t length, int width,
                 bool escape_html) {
    switch (width) {
        case 1:
            append_units(out, static_cast<const std::uint8_t*>(units), length, escape_html);
            break;
        case 2:
            append_units(out, static_cast<const std::uint16_t*>(units), length, escape_html);
            break;
        default:
            append_units(out, static_cast<const std::uint32_t*>(units), length, escape_html);
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
