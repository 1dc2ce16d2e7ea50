#include "host/runtime.hpp"

#include <cstring>

#include "host/errors.hpp"
#include "host/values.hpp"

namespace host {

namespace {

// Borrowed: an operation holds its module for as long as it can be called. Per thread, because a
// host service that lets go of the GIL lets another thread run another module's operation.
thread_local PyObject* module_in_scope = nullptr;

py::object runtime_module(const char* name) { return py::module_::import(name); }

}  // namespace

ModuleScope::ModuleScope(py::handle module) noexcept : previous_(module_in_scope) {
    module_in_scope = module.ptr();
}

ModuleScope::~ModuleScope() { module_in_scope = previous_; }

py::object plugin_attr(const char* name) {
    if (module_in_scope == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "start_boce: no plug-in module in scope");
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(module_in_scope).attr(name);
}

py::object json_loads(py::handle text) { return plugin_attr("json").attr("loads")(text); }

py::object json_dumps(py::handle value) { return plugin_attr("json").attr("dumps")(value); }

bool path_exists(py::handle path) {
    return is_truthy(plugin_attr("os").attr("path").attr("exists")(path));
}

bool is_regular_file(py::handle path) {
    return is_truthy(plugin_attr("os").attr("path").attr("isfile")(path));
}

void link_path(py::handle source, py::handle target) {
    plugin_attr("os").attr("link")(source, target);
}

void remove_path(py::handle path) { plugin_attr("os").attr("unlink")(path); }

void change_directory(std::string_view path) { plugin_attr("os").attr("chdir")(py::str(path)); }

void append_search_path(std::string_view entry) {
    plugin_attr("sys").attr("path").attr("append")(py::str(entry));
}

py::object current_time() { return plugin_attr("time").attr("time")(); }

py::object node_id() { return runtime_module("uuid").attr("getnode")(); }

py::object host_name() { return runtime_module("socket").attr("gethostname")(); }

py::object fully_qualified_name(py::handle name) {
    return runtime_module("socket").attr("getfqdn")(name);
}

void print_line(py::handle value) { runtime_module("builtins").attr("print")(value); }

#if PY_VERSION_HEX >= 0x030B0000
HandledErrorScope::HandledErrorScope(const py::error_already_set& error)
    : previous_(PyErr_GetHandledException()) {
    // Entering an `except` block attaches the traceback to the exception; the runtime's
    // formatters read it from there.
    if (error.trace()) PyException_SetTraceback(error.value().ptr(), error.trace().ptr());
    PyErr_SetHandledException(error.value().ptr());
}

HandledErrorScope::~HandledErrorScope() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}
#else
HandledErrorScope::HandledErrorScope(const py::error_already_set& error) {
    PyErr_GetExcInfo(&previous_type_, &previous_, &previous_traceback_);
    if (error.trace()) PyException_SetTraceback(error.value().ptr(), error.trace().ptr());
    // PyErr_SetExcInfo steals its three references.
    PyErr_SetExcInfo(error.type().inc_ref().ptr(), error.value().inc_ref().ptr(),
                     error.trace().inc_ref().ptr());
}

HandledErrorScope::~HandledErrorScope() {
    PyErr_SetExcInfo(previous_type_, previous_, previous_traceback_);
}
#endif

static_assert(PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR == 13,
              "prepare_pybind11 mirrors the module entry of pybind11 2.13: check it against the "
              "PYBIND11_MODULE of this pybind11 before changing the version");

bool prepare_pybind11() noexcept {
    const char* built_for =
        PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    const std::size_t length = std::strlen(built_for);
    if (std::strncmp(running, built_for, length) != 0 ||
        (running[length] >= '0' && running[length] <= '9')) {
        PyErr_Format(PyExc_ImportError,
                     "start_boce was built for Python %s, but this interpreter is %s", built_for,
                     running);
        return false;
    }
    try {
        py::detail::get_internals();
        // Its module-local state too, which pybind11 otherwise makes on first use: that can be
        // the translation of a MemoryError, where a failure would end the process.
        py::detail::get_local_internals();
        return true;
    } catch (...) {
        set_error_from_current_exception();
        return false;
    }
}

namespace {
// glibc places a loaded module's thread-local block in the static area only when the module reads
// some of it with the initial-exec model; the C++ runtime reaches its own data with the general
// model, so this read is what places the block.
[[gnu::tls_model("initial-exec")]] thread_local volatile char static_tls_anchor = 0;
}  // namespace

void keep_thread_data_static() { static_cast<void>(static_tls_anchor); }

bool in_main_interpreter() {
    // PyInterpreterState_Get is public only from 3.9.
    return PyThreadState_Get()->interp == PyInterpreterState_Main();
}

}  // namespace host
