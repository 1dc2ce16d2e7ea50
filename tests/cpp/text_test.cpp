// The pure text helpers, checked without Python.
#include "start_boce/text.hpp"

#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <string>
#include <tuple>

#include "host/chunked_text.hpp"
#include "start_boce/calendar.hpp"

using namespace start_boce::text;
using cpython::ChunkedText;
using cpython::decode_utf8;

static int failures = 0;
static int checks = 0;

static void expect(const std::string& got, const std::string& want, const char* what) {
    ++checks;
    if (got != want) {
        ++failures;
        std::printf("FAIL %s: got \"%s\", want \"%s\"\n", what, got.c_str(), want.c_str());
    }
}

static std::string html_escaped(std::string_view utf8) {
    std::string out;
    append_html_escaped(out, utf8);
    return out;
}

int main() {
    // Two decimals: exact binary value, ties to even.
    expect(two_decimals(0.125), "0.12", "0.125 (exact tie, even)");
    expect(two_decimals(0.375), "0.38", "0.375 (exact tie, even)");
    expect(two_decimals(2.675), "2.67", "2.675 (stored below the tie)");
    expect(two_decimals(1234.5678), "1234.57", "1234.5678");
    expect(two_decimals(12), "12.00", "12");
    expect(two_decimals(0), "0.00", "0");
    expect(two_decimals(-0.0), "-0.00", "negative zero");
    expect(two_decimals(-0.001), "-0.00", "small negative");
    expect(two_decimals(-5.5), "-5.50", "negative");
    expect(two_decimals(1e22), "10000000000000000000000.00", "no exponent, no separators");
    expect(two_decimals(std::numeric_limits<double>::infinity()), "inf", "infinity");
    expect(two_decimals(-std::numeric_limits<double>::infinity()), "-inf", "minus infinity");
    expect(two_decimals(std::nan("")), "nan", "nan");
    expect(two_decimals(-std::nan("")), "nan", "negative nan");

    // HTML escaping, as html.escape(text, quote=True).
    expect(html_escaped("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&#x27;f", "all five");
    expect(html_escaped("北京电信<😀>"), "北京电信&lt;😀&gt;", "multi-byte characters untouched");
    expect(html_escaped(""), "", "empty");

    // MAC text: low 48 bits, lower case, zero-filled.
    expect(mac_text(0x02AB0C3D4E5FULL), "02:ab:0c:3d:4e:5f", "full address");
    expect(mac_text(0x1A), "00:00:00:00:00:1a", "small node id");
    expect(mac_text(0xFFFF'0000'0000'0001ULL), "00:00:00:00:00:01", "high bits dropped");

    std::string digits;
    append_integer(digits, -9223372036854775807LL - 1);
    expect(digits, "-9223372036854775808", "smallest integer");

    // Chunked text: characters never split across chunks, counts and width right, decoding
    // bounded by the room it is given.
    for (const std::string piece : {"a", "\xc3\xa9", "\xe5\x8c\x97", "\xf0\x9f\x98\x80"}) {
        ChunkedText text;
        const std::size_t repeats = (std::size_t{3} << 20) / piece.size() + 1;  // past 3 chunks
        for (std::size_t i = 0; i < repeats; ++i) text.append(piece);
        std::u32string decoded(text.code_points(), U'\0');
        char32_t* end = decoded.data();
        bool on_characters = true;
        text.drain([&](std::string_view chunk) {
            end = decode_utf8(chunk, end, decoded.data() + decoded.size());
            on_characters = on_characters && chunk.size() % piece.size() == 0;
        });
        expect(std::to_string(end == decoded.data() + decoded.size()), "1", "every code point");
        expect(std::to_string(text.code_points() == repeats), "1", "counted once each");
        expect(std::to_string(on_characters), "1", "chunks end between characters");
        const std::uint32_t widest = piece.size() == 1   ? 0x7F
                                     : piece.size() == 2 ? 0xFF
                                     : piece.size() == 3 ? 0xFFFF
                                                         : 0x10FFFF;
        expect(std::to_string(text.widest()), std::to_string(widest), "widest class");
    }
    char16_t room[2];
    expect(std::to_string(decode_utf8(std::string_view("abc"), room, room + 2) == nullptr), "1",
           "decoding stops at the end of its room");

    // Calendar days: each date's number, held to Python's date.toordinal() - 719163.
    for (const auto& [year, month, day, number] :
         std::initializer_list<std::tuple<long long, unsigned, unsigned, long long>>{
             {1970, 1, 1, 0},
             {1969, 12, 31, -1},
             {2000, 2, 29, 11016},
             {2000, 3, 1, 11017},
             {2026, 12, 20, 20807},
             {2100, 3, 1, 47541},
             {1, 1, 1, -719162},
             {9999, 12, 31, 2932896}}) {
        expect(std::to_string(start_boce::calendar::day_number(year, month, day)),
               std::to_string(number), "day number");
    }

    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
