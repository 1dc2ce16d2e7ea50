// Pure text helpers of the plug-in: no Python here, so they read and test on their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace start_boce::text {

// Fixed point with exactly two decimals, rounded from the exact binary value with ties to even,
// as Python's "{:.2f}" writes it: 0.125 -> "0.12", 0.375 -> "0.38", 12 -> "12.00",
// -0.001 -> "-0.00", infinity -> "inf", NaN -> "nan".
void append_two_decimals(std::string& out, double value);
std::string two_decimals(double value);

// Plain decimal digits of a whole number, as Python's str(int) writes it.
void append_integer(std::string& out, long long value);

// Appends a text given as `length` code units of `width` bytes each (1, 2 or 4, as the runtime
// stores texts) in UTF-8. A lone surrogate is written as its three-byte form, so that the text
// comes back unchanged when read the same way. With `escape_html` the five characters of
// html.escape become entities and every surrogate becomes U+FFFD, as a text from the network
// must be before it goes into a message.
void append_utf8(std::string& out, const void* units, std::size_t length, int width,
                 bool escape_html);

// The low 48 bits of a node id as six pairs of lower-case hexadecimal digits joined by ':'.
std::string mac_text(std::uint64_t node_id);

}  // namespace start_boce::text
