#include "host/values.hpp"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "host/chunked_text.hpp"

namespace host {

namespace {

py::object checked(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

int checked_flag(int result) {
    if (result < 0) throw py::error_already_set();
    return result;
}

}  // namespace

PyObject* Name::make() const {
    object_ = PyUnicode_InternFromString(text_);  // kept for the process: never released
    if (object_ == nullptr) throw py::error_already_set();
    return object_;
}

bool is_truthy(py::handle value) { return checked_flag(PyObject_IsTrue(value.ptr())) != 0; }

bool contains(py::handle container, py::handle member) {
    return checked_flag(PySequence_Contains(container.ptr(), member.ptr())) != 0;
}

bool equals(py::handle left, py::handle right) {
    if (PyUnicode_CheckExact(left.ptr()) && PyUnicode_CheckExact(right.ptr())) {
        return PyUnicode_Compare(left.ptr(), right.ptr()) == 0;
    }
    return is_truthy(checked(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ)));
}

py::object get_item(py::handle container, py::handle key) {
    return checked(PyObject_GetItem(container.ptr(), key.ptr()));
}

py::object text_form(py::handle value) { return checked(PyObject_Str(value.ptr())); }

py::object formatted(py::handle value, const Name& format_spec) {
    return checked(PyObject_Format(value.ptr(), format_spec.handle().ptr()));
}

py::object whole_number(py::handle value) { return checked(PyNumber_Long(value.ptr())); }

void raise_concatenation_error(py::handle value) {
    throw py::type_error(std::string("can only concatenate str (not \"") +
                         Py_TYPE(value.ptr())->tp_name + "\") to str");
}

namespace {

constexpr std::uint32_t replacement_character = 0xFFFD;

bool is_surrogate(std::uint32_t code_point) { return code_point >= 0xD800 && code_point <= 0xDFFF; }

char* put_code_point(char* out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        *out++ = static_cast<char>(code_point);
        return out;
    }
    if (code_point < 0x800) {
        *out++ = static_cast<char>(0xC0 | (code_point >> 6));
    } else if (code_point < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (code_point >> 12));
        *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (code_point >> 18));
        *out++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    }
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
    return out;
}

// The runtime keeps a text as code units of one, two or four bytes, whichever fits its widest
// character. `out` has room for four bytes a unit.
template <typename Unit>
char* put_units(char* out, const void* data, std::size_t length, Surrogates surrogates) {
    const auto* units = static_cast<const Unit*>(data);
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t code_point = units[i];
        const bool replace = surrogates == Surrogates::replaced && is_surrogate(code_point);
        out = put_code_point(out, replace ? replacement_character : code_point);
    }
    return out;
}

}  // namespace

std::optional<std::string_view> utf8_of(py::handle value, std::string& scratch,
                                        Surrogates surrogates) {
    PyObject* text = value.ptr();
    if (!PyUnicode_Check(text)) return std::nullopt;
#if PY_VERSION_HEX < 0x030C0000
    // Before 3.12 a text made by the old C API may not hold its compact form yet.
    if (PyUnicode_READY(text) < 0) throw py::error_already_set();
#endif
    const void* data = PyUnicode_DATA(text);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    if (PyUnicode_IS_ASCII(text)) return std::string_view(static_cast<const char*>(data), length);
    scratch.resize(length * 4);  // the most UTF-8 one character takes
    char* end = scratch.data();
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            end = put_units<Py_UCS1>(end, data, length, surrogates);
            break;
        case PyUnicode_2BYTE_KIND:
            end = put_units<Py_UCS2>(end, data, length, surrogates);
            break;
        default:
            end = put_units<Py_UCS4>(end, data, length, surrogates);
    }
    return std::string_view(scratch.data(), static_cast<std::size_t>(end - scratch.data()));
}

TextOfSize::TextOfSize(std::size_t length, std::uint32_t widest)
    : length_(static_cast<Py_ssize_t>(length)) {
    text_ = checked(PyUnicode_New(length_, static_cast<Py_UCS4>(widest)));
    kind_ = PyUnicode_KIND(text_.ptr());
    data_ = PyUnicode_DATA(text_.ptr());
}

namespace {

template <typename Unit>
Py_ssize_t put_units(std::string_view utf8, void* data, Py_ssize_t written, Py_ssize_t length) {
    Unit* start = static_cast<Unit*>(data);
    Unit* end = decode_utf8(utf8, start + written, start + length);
    if (end == nullptr) throw std::length_error("text longer than announced");
    return end - start;
}

}  // namespace

void TextOfSize::put_utf8(std::string_view utf8) {
    switch (kind_) {
        case PyUnicode_1BYTE_KIND:
            written_ = put_units<Py_UCS1>(utf8, data_, written_, length_);
            break;
        case PyUnicode_2BYTE_KIND:
            written_ = put_units<Py_UCS2>(utf8, data_, written_, length_);
            break;
        default:
            written_ = put_units<Py_UCS4>(utf8, data_, written_, length_);
    }
}

py::str TextOfSize::finish() {
    if (written_ != length_) throw std::length_error("text shorter than announced");
    return py::reinterpret_steal<py::str>(text_.release());
}

std::optional<long long> small_integer(py::handle value) {
    if (!PyLong_CheckExact(value.ptr())) return std::nullopt;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0) return std::nullopt;
    return number;
}

std::optional<double> float_value(py::handle value) {
    if (!PyFloat_CheckExact(value.ptr())) return std::nullopt;
    return PyFloat_AS_DOUBLE(value.ptr());
}

std::optional<std::uint64_t> integer_low_bits(py::handle value) {
    if (!PyLong_Check(value.ptr())) return std::nullopt;
    const unsigned long long bits = PyLong_AsUnsignedLongLongMask(value.ptr());
    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return bits;
}

bool is_orderable_number(py::handle value) {
    PyObject* object = value.ptr();
    if (PyBool_Check(object)) return false;
    if (PyLong_Check(object)) return true;
    return PyFloat_Check(object) && !std::isnan(PyFloat_AS_DOUBLE(object));
}

std::vector<std::size_t> positions_sorted_descending(const std::vector<py::object>& keys) {
    using namespace py::literals;
    const std::size_t count = keys.size();
    py::list key_list;
    py::list positions;
    for (std::size_t i = 0; i < count; ++i) {
        key_list.append(keys[i]);
        positions.append(py::int_(i));
    }
    positions.attr("sort")("key"_a = key_list.attr("__getitem__"), "reverse"_a = true);

    std::vector<std::size_t> order;
    order.reserve(count);
    for (py::handle position : positions) {
        const auto index = position.cast<std::size_t>();
        if (index >= count || order.size() == count) throw std::runtime_error("ordering disturbed");
        order.push_back(index);
    }
    return order;
}

}  // namespace host
