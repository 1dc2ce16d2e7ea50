#include "host/values.hpp"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "host/chunked_text.hpp"

namespace cpython {

bool is_truthy(Handle value) { return checked_status(calling(PyObject_IsTrue, value.ptr())) != 0; }

bool contains(Handle container, Handle member) {
    return checked_status(calling(PySequence_Contains, container.ptr(), member.ptr())) != 0;
}

bool equals(Handle left, Handle right) {
    if (PyUnicode_CheckExact(left.ptr()) && PyUnicode_CheckExact(right.ptr())) {
        return PyUnicode_Compare(left.ptr(), right.ptr()) == 0;
    }
    return compares(left, right, Py_EQ);
}

bool compares(Handle left, Handle right, int operation) {
    return is_truthy(checked(calling(PyObject_RichCompare, left.ptr(), right.ptr(), operation)));
}

Object sum(Handle left, Handle right) {
    return checked(calling(PyNumber_Add, left.ptr(), right.ptr()));
}

Object text_form(Handle value) { return checked(calling(PyObject_Str, value.ptr())); }

Object formatted(Handle value, const Name& format_spec) {
    return checked(calling(PyObject_Format, value.ptr(), format_spec.handle().ptr()));
}

Object whole_number(Handle value) { return checked(calling(PyNumber_Long, value.ptr())); }

void raise_concatenation_error(Handle value) {
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                 Py_TYPE(value.ptr())->tp_name);
    raise_fetched();
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

std::optional<std::string_view> utf8_of(Handle value, std::string& scratch, Surrogates surrogates) {
    PyObject* text = value.ptr();
    if (!PyUnicode_Check(text)) return std::nullopt;
#if PY_VERSION_HEX < 0x030C0000
    // Before 3.12 a text made by the old C API may not hold its compact form yet.
    checked_status(PyUnicode_READY(text));
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

Object TextOfSize::finish() {
    if (written_ != length_) throw std::length_error("text shorter than announced");
    return std::move(text_);
}

std::optional<long long> small_integer(Handle value) {
    if (!PyLong_CheckExact(value.ptr())) return std::nullopt;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0) return std::nullopt;
    return number;
}

std::optional<double> float_value(Handle value) {
    if (!PyFloat_CheckExact(value.ptr())) return std::nullopt;
    return PyFloat_AS_DOUBLE(value.ptr());
}

std::optional<std::uint64_t> integer_low_bits(Handle value) {
    if (!PyLong_Check(value.ptr())) return std::nullopt;
    const unsigned long long bits = PyLong_AsUnsignedLongLongMask(value.ptr());
    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_fetched();
    return bits;
}

bool is_orderable_number(Handle value) {
    PyObject* object = value.ptr();
    if (PyBool_Check(object)) return false;
    if (PyLong_Check(object)) return true;
    return PyFloat_Check(object) && !std::isnan(PyFloat_AS_DOUBLE(object));
}

std::vector<std::size_t> positions_sorted_descending(const std::vector<Object>& keys) {
    static constinit Name sort{"sort"}, getitem{"__getitem__"}, key{"key"}, reverse{"reverse"};
    const std::size_t count = keys.size();
    Object key_list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
    Object positions = checked(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(key_list.ptr(), static_cast<Py_ssize_t>(i), Object(keys[i]).release());
        PyList_SET_ITEM(positions.ptr(), static_cast<Py_ssize_t>(i),
                        integer(static_cast<long long>(i)).release());
    }
    // positions.sort(key=key_list.__getitem__, reverse=True)
    Object by_key = attr(key_list, getitem);
    Object keywords = checked(PyTuple_Pack(2, key.handle().ptr(), reverse.handle().ptr()));
    PyObject* arguments[] = {nullptr, by_key.ptr(), Py_True};
    call_with(attr(positions, sort), arguments + 1, 2, keywords);

    std::vector<std::size_t> order;
    order.reserve(count);
    for (const Object& position : Iteration(positions)) {
        const auto index = small_integer(position);
        if (!index || *index < 0 || static_cast<std::size_t>(*index) >= count ||
            order.size() == count) {
            throw std::runtime_error("ordering disturbed");
        }
        order.push_back(static_cast<std::size_t>(*index));
    }
    return order;
}

}  // namespace cpython
