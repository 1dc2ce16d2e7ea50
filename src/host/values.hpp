// What the plug-in needs of the runtime's generic values beyond python.hpp's plain operations,
// each behaving, and failing with the same exception, as the Python operation named beside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/python.hpp"

namespace cpython {

// bool(value), raising the error of a failing `__bool__`.
bool is_truthy(Handle value);
// member in container, through the sequence protocol, as the `in` operator does.
bool contains(Handle container, Handle member);
// left == right, then its truth: no identity shortcut, as in an `if a == b` test.
bool equals(Handle left, Handle right);
// left < right (Py_LT), left <= right (Py_LE) and the others, then their truth.
bool compares(Handle left, Handle right, int operation);
// left + right
Object sum(Handle left, Handle right);
// str(value) through `__str__`, also for a text subclass.
Object text_form(Handle value);
// format(value, format_spec)
Object formatted(Handle value, const Name& format_spec);
// int(value), through the number protocol.
Object whole_number(Handle value);

// The TypeError that `text + value` raises for a value that is not a text.
[[noreturn]] void raise_concatenation_error(Handle value);

// The value of an exact int that fits 64 bits, or of an exact float; nullopt for other kinds,
// whose own methods must be asked.
std::optional<long long> small_integer(Handle value);
std::optional<double> float_value(Handle value);
// The low 64 bits of an int (a subclass included) as its value holds them, asking none of its
// methods; nullopt for anything that is not an int.
std::optional<std::uint64_t> integer_low_bits(Handle value);
// A real number as `sorted` would compare it: an int (not a bool) or a float that is not NaN.
bool is_orderable_number(Handle value);

// Positions of `keys`, largest first and equal keys in their own order, as the runtime's own
// list sort (`reverse=True`) orders them: it stays within its list whatever the keys' comparisons
// answer, which a C++ sort does not.
std::vector<std::size_t> positions_sorted_descending(const std::vector<Object>& keys);

// How a text's surrogate code points (which UTF-8 cannot hold) come out in its UTF-8.
enum class Surrogates {
    kept,      // as their three-byte forms, which text_from_utf8 reads back unchanged
    replaced,  // as U+FFFD, so the text can always be encoded for sending
};

// The UTF-8 of a text (a str or a subclass), or nullopt for anything else. The view lies in the
// text itself when it is ASCII, otherwise in `scratch`; it lasts while both do.
std::optional<std::string_view> utf8_of(Handle value, std::string& scratch, Surrogates surrogates);
// A runtime text made at its final length and width (the widest code point, or its class), then
// filled from UTF-8 piece by piece: nothing else holds the whole text on the way.
class TextOfSize {
  public:
    TextOfSize(std::size_t length, std::uint32_t widest);
    void put_utf8(std::string_view utf8);  // never writes past the announced length
    Object finish();                       // the text, once every code point is there

  private:
    Object text_;
    int kind_;
    void* data_;
    Py_ssize_t length_;
    Py_ssize_t written_ = 0;
};

}  // namespace cpython
