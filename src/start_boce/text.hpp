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

// Appends UTF-8 text with the five characters of html.escape(text, quote=True) as entities:
// & < > " ' . Every other byte, multi-byte characters included, is copied as it is.
void append_html_escaped(std::string& out, std::string_view utf8);

// The low 48 bits of a node id as six pairs of lower-case hexadecimal digits joined by ':'.
// It stays with the other pure helpers, rather than beside the identity code, so that it is
// tested without Python.
std::string mac_text(std::uint64_t node_id);

}  // namespace start_boce::text
