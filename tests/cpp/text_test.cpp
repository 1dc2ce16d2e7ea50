// The pure text helpers, checked without Python.
#include "start_boce/text.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

using namespace start_boce::text;

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

    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
