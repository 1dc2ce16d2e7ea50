// Operations on the runtime's generic values (decoded JSON and whatever the host hands back),
// each behaving, and failing with the same exception, as the Python operation named beside it.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string_view>
#include <vector>

namespace host {

namespace py = pybind11;

// A constant text (a key, a name), made into an interned runtime text on first use and kept for
// the life of the process. Declare them `constinit` at namespace scope.
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

// The code units of a text as the runtime stores it: `width` bytes each (1, 2 or 4).
struct TextUnits {
    const void* data;
    std::size_t length;
    int width;
};

bool is_truthy(py::handle value);                                       // bool(value)
bool contains(py::handle container, py::handle member);                 // member in container
bool equals(py::handle left, py::handle right);                         // left == right
py::ssize_t length(py::handle value);                                   // len(value)
py::object item(py::handle container, py::handle key);                  // container[key]
void set_item(py::handle container, py::handle key, py::handle value);  // container[key] = value
py::object add(py::handle left, py::handle right);                      // left + right
py::object text_form(py::handle value);                                 // str(value)
py::object formatted(py::handle value, const Name& format_spec);        // format(value, spec)
py::object whole_number(py::handle value);
bool is_integer(py::handle value);  // isinstance(value, int)

// The TypeError of `text + value` for a value that is not a text.
[[noreturn]] void raise_concatenation_error(py::handle value);  // int(value)

// for element in iterable: visit(element)
template <typename Visit>
void for_each(py::handle iterable, Visit&& visit) {
    PyObject* iterator = PyObject_GetIter(iterable.ptr());
    if (iterator == nullptr) throw py::error_already_set();
    auto owned_iterator = py::reinterpret_steal<py::object>(iterator);
    while (PyObject* element = PyIter_Next(iterator)) {
        visit(py::reinterpret_steal<py::object>(element));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

// The number of elements of an exact list or tuple, as stored; 0 for anything else. It never asks
// `__len__`, so it can size a buffer whatever Python code answers.
std::size_t stored_size(py::handle value);

// The code units of a text (a str or a subclass); nullopt for anything else.
std::optional<TextUnits> text_units(py::handle value);
// A runtime text from UTF-8 in which lone surrogates may stand as their three-byte forms.
py::str text_from_utf8(std::string_view utf8);

// The value of an exact int that fits 64 bits, or of an exact float; nullopt for other kinds,
// whose own methods must be asked.
std::optional<long long> small_integer(py::handle value);
std::optional<double> float_value(py::handle value);
// A real number as `sorted` would compare it: an int (not a bool) or a float that is not NaN.
bool is_orderable_number(py::handle value);

// Positions of `keys`, largest first and equal keys in their own order, as the runtime's own
// list sort (`reverse=True`) orders them: it stays within its list whatever the keys' comparisons
// answer, which a C++ sort does not.
std::vector<std::size_t> positions_sorted_descending(const std::vector<py::object>& keys);

}  // namespace host
