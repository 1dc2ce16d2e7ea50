#include "host/python.hpp"

namespace cpython {

// Read with the initial-exec model, as every thread-local variable of the module (CMakeLists.txt):
// a new thread never allocates for it.
thread_local constinit bool thread_ending = false;

Error Error::fetch() noexcept {
    Error error;
#if PY_VERSION_HEX >= 0x030C0000
    error.exception_ = Object::steal(PyErr_GetRaisedException());
    if (!error.exception_) {
        PyErr_SetString(PyExc_SystemError, "start_boce: a failure without an exception");
        error.exception_ = Object::steal(PyErr_GetRaisedException());
    }
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "start_boce: a failure without an exception");
        PyErr_Fetch(&type, &value, &traceback);
    }
    error.type_ = Object::steal(type);
    error.value_ = Object::steal(value);
    error.traceback_ = Object::steal(traceback);
#endif
    return error;
}

Error Error::no_memory() noexcept {
    PyErr_NoMemory();  // the runtime keeps MemoryErrors aside for this: it allocates nothing
    return fetch();
}

bool Error::matches(PyObject* type) const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GivenExceptionMatches(exception_.ptr(), type) != 0;
#else
    return PyErr_GivenExceptionMatches(type_.ptr(), type) != 0;
#endif
}

void Error::restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception_.release());
#else
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

Handle Error::value() {
#if PY_VERSION_HEX >= 0x030C0000
    return exception_;
#else
    // Made an instance only when someone looks at it, as the runtime does for an `except` block.
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    type_ = Object::steal(type);
    value_ = Object::steal(value);
    traceback_ = Object::steal(traceback);
    return value_;
#endif
}

void raise_fetched() { throw Error::fetch(); }

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);  // MemoryError instead, when the message cannot be made
    raise_fetched();
}

PyObject* Name::make() const {
    object_ = PyUnicode_InternFromString(text_);  // kept for the process: never released
    if (object_ == nullptr) raise_fetched();
    return object_;
}

Object text(std::string_view utf8) {
    return checked(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Object integer(long long value) { return checked(PyLong_FromLongLong(value)); }

Object boolean(bool value) { return Object::borrow(value ? Py_True : Py_False); }

Object none() { return Object::borrow(Py_None); }

Object new_list() { return checked(PyList_New(0)); }

Object new_dict() { return checked(PyDict_New()); }

void append(Handle list, Handle item) { checked_status(PyList_Append(list.ptr(), item.ptr())); }

Object import_module(const char* name) { return checked(calling(PyImport_ImportModule, name)); }

Object loaded_module(Handle name) {
    PyObject* module = PyImport_GetModule(name.ptr());
    if (module == nullptr && PyErr_Occurred() == nullptr) {
        module = calling(PyImport_Import, name.ptr());
    }
    return checked(module);
}

Object attr(Handle object, Handle name) {
    return checked(calling(PyObject_GetAttr, object.ptr(), name.ptr()));
}

void set_attr(Handle object, Handle name, Handle value) {
    checked_status(calling(PyObject_SetAttr, object.ptr(), name.ptr(), value.ptr()));
}

Object get_item(Handle container, Handle key) {
    return checked(calling(PyObject_GetItem, container.ptr(), key.ptr()));
}

Object dict_value(Handle container, Handle key) {
    if (!PyDict_Check(container.ptr())) return {};
    PyObject* value = calling(PyDict_GetItemWithError, container.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) raise_fetched();
    return Object::borrow(Handle(value));
}

void set_item(Handle container, Handle key, Handle value) {
    checked_status(calling(PyObject_SetItem, container.ptr(), key.ptr(), value.ptr()));
}

Py_ssize_t length(Handle container) {
    const Py_ssize_t size = calling(PyObject_Size, container.ptr());
    if (size < 0) raise_fetched();
    return size;
}

Object call_with(Handle callable, PyObject** arguments, std::size_t count, Handle keyword_names) {
    const std::size_t named =
        keyword_names ? static_cast<std::size_t>(PyTuple_GET_SIZE(keyword_names.ptr())) : 0;
    const std::size_t positional = count - named;
#if PY_VERSION_HEX >= 0x03090000
    return checked(calling(PyObject_Vectorcall, callable.ptr(), arguments,
                           positional | PY_VECTORCALL_ARGUMENTS_OFFSET, keyword_names.ptr()));
#elif PY_VERSION_HEX >= 0x03080000
    return checked(calling(_PyObject_Vectorcall, callable.ptr(), arguments,
                           positional | PY_VECTORCALL_ARGUMENTS_OFFSET, keyword_names.ptr()));
#else
    return checked(calling(_PyObject_FastCallKeywords, callable.ptr(), arguments,
                           static_cast<Py_ssize_t>(positional), keyword_names.ptr()));
#endif
}

void Iteration::advance() {
    item_ = Object::steal(calling(PyIter_Next, iterator_.ptr()));
    if (!item_ && PyErr_Occurred() != nullptr) raise_fetched();
}

}  // namespace cpython
