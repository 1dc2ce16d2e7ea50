#include "host/values.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

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
    // `==` itself, then its truth: no identity shortcut, as in an `if a == b` test.
    return is_truthy(checked(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ)));
}

py::ssize_t length(py::handle value) {
    const py::ssize_t size = PyObject_Length(value.ptr());
    if (size < 0) throw py::error_already_set();
    return size;
}

std::size_t stored_size(py::handle value) {
    if (PyList_CheckExact(value.ptr()))
        return static_cast<std::size_t>(PyList_GET_SIZE(value.ptr()));
    if (PyTuple_CheckExact(value.ptr())) {
        return static_cast<std::size_t>(PyTuple_GET_SIZE(value.ptr()));
    }
    return 0;
}

py::object item(py::handle container, py::handle key) {
    return checked(PyObject_GetItem(container.ptr(), key.ptr()));
}

void set_item(py::handle container, py::handle key, py::handle value) {
    checked_flag(PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()));
}

py::object add(py::handle left, py::handle right) {
    return checked(PyNumber_Add(left.ptr(), right.ptr()));
}

py::object text_form(py::handle value) { return checked(PyObject_Str(value.ptr())); }

py::object formatted(py::handle value, const Name& format_spec) {
    return checked(PyObject_Format(value.ptr(), format_spec.handle().ptr()));
}

py::object whole_number(py::handle value) { return checked(PyNumber_Long(value.ptr())); }

bool is_integer(py::handle value) { return PyLong_Check(value.ptr()); }

void raise_concatenation_error(py::handle value) {
    throw py::type_error(std::string("can only concatenate str (not \"") +
                         Py_TYPE(value.ptr())->tp_name + "\") to str");
}

std::optional<TextUnits> text_units(py::handle value) {
    PyObject* text = value.ptr();
    if (!PyUnicode_Check(text)) return std::nullopt;
#if PY_VERSION_HEX < 0x030C0000
    // Before 3.12 a text made by the old C API may not hold its compact form yet.
    if (PyUnicode_READY(text) < 0) throw py::error_already_set();
#endif
    return TextUnits{PyUnicode_DATA(text), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)),
                     static_cast<int>(PyUnicode_KIND(text))};
}

py::str text_from_utf8(std::string_view utf8) {
    PyObject* text =
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
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
