// What the plug-in needs of the runtime's generic values beyond pybind11's own spelling
// (`obj[key]`, `obj[key] = value`, `a + b`, `py::len`, `py::isinstance`, range-for), each
// behaving, and failing with the same exception, as the Python operation named beside it.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

namespace py = pybind11;

// A constant text (a key, a name), made into an interned runtime text on first use and kept for
// the life of the process, so a hot loop does not make it again. Declare them `constinit` at
// namespace scope.
class Name {
  public:
    constexpr explicit Name(const char* text) : text_(text) {}
    operator py::handle() const { return object_ != nullptr ? object_ : make(); }
    py::handle handle() const { return *this; }

  private:
    PyObject* make() const;
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

// bool(value) as a C++ bool, raising the error of a failing `__bool__` (pybind11's
// `.cast<bool>()` would drop it).
bool is_truthy(py::handle value);
// member in container, through the sequence protocol, as the `in` operator does.
bool contains(py::handle container, py::handle member);
// left == right, then its truth: no identity shortcut, as in an `if a == b` test.
bool equals(py::handle left, py::handle right);
// container[key] as operator.getitem does it: pybind11's `container[key]` builds a caching
// accessor around each read, which the per-record loops (eleven reads a record) cannot afford.
py::object get_item(py::handle container, py::handle key);
// str(value) through `__str__`, also for a text subclass (py::str takes those as they are).
py::object text_form(py::handle value);
// format(value, format_spec): pybind11 has no spelling of its own for it.
py::object formatted(py::handle value, const Name& format_spec);
// int(value), through the number protocol.
py::object whole_number(py::handle value);

// The TypeError that `text + value` raises for a value that is not a text.
[[noreturn]] void raise_concatenation_error(py::handle value);

// The value of an exact int that fits 64 bits, or of an exact float; nullopt for other kinds,
// whose own methods must be asked.
std::optional<long long> small_integer(py::handle value);
std::optional<double> float_value(py::handle value);
// The low 64 bits of an int (a subclass included) as its value holds them, asking none of its
// methods; nullopt for anything that is not an int.
std::optional<std::uint64_t> integer_low_bits(py::handle value);
// A real number as `sorted` would compare it: an int (not a bool) or a float that is not NaN.
bool is_orderable_number(py::handle value);

// Positions of `keys`, largest first and equal keys in their own order, as the runtime's own
// list sort (`reverse=True`) orders them: it stays within its list whatever the keys' comparisons
// answer, which a C++ sort does not.
std::vector<std::size_t> positions_sorted_descending(const std::vector<py::object>& keys);

// How a text's surrogate code points (which UTF-8 cannot hold) come out in its UTF-8.
enum class Surrogates {
    kept,      // as their three-byte forms, which text_from_utf8 reads back unchanged
    replaced,  // as U+FFFD, so the text can always be encoded for sending
};

// The UTF-8 of a text (a str or a subclass), or nullopt for anything else. The view lies in the
// text itself when it is ASCII, otherwise in `scratch`; it lasts while both do.
std::optional<std::string_view> utf8_of(py::handle value, std::string& scratch,
                                        Surrogates surrogates);
// A runtime text made at its final length and width (the widest code point, or its class), then
// filled from UTF-8 piece by piece: nothing else holds the whole text on the way.
class TextOfSize {
  public:
    TextOfSize(std::size_t length, std::uint32_t widest);
    void put_utf8(std::string_view utf8);  // never writes past the announced length
    py::str finish();                      // the text, once every code point is there

  private:
    py::object text_;
    int kind_;
    void* data_;
    Py_ssize_t length_;
    Py_ssize_t written_ = 0;
};

}  // namespace host
