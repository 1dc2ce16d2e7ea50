#include "host/runtime.hpp"

#include <sys/file.h>

#include <optional>

#include "host/values.hpp"

namespace host {

namespace {

// The plug-in module's attributes that hold runtime modules, and what the plug-in asks of them.
constinit cpython::Name json_module{"json"}, time_module{"time"}, os_module{"os"},
    sys_module{"sys"};
// The runtime's modules that the plug-in module holds no attribute for.
constinit cpython::Name uuid_module{"uuid"}, socket_module{"socket"}, builtins_module{"builtins"},
    fcntl_module{"fcntl"};
constinit cpython::Name loads{"loads"}, dumps{"dumps"}, path{"path"}, exists{"exists"},
    isfile{"isfile"}, link{"link"}, unlink{"unlink"}, replace{"replace"}, chdir{"chdir"},
    append_method{"append"}, time_now{"time"}, getnode{"getnode"}, gethostname{"gethostname"},
    getfqdn{"getfqdn"}, print{"print"}, open_name{"open"}, close_name{"close"}, flock{"flock"},
    sleep_name{"sleep"};

}  // namespace

cpython::Object Runtime::module_attr(const cpython::Name& name) const {
    return cpython::attr(module_, name);
}

cpython::Object Runtime::json_loads(cpython::Handle text) const {
    return cpython::call_method(module_attr(json_module), loads, text);
}

cpython::Object Runtime::json_dumps(cpython::Handle value) const {
    return cpython::call_method(module_attr(json_module), dumps, value);
}

bool Runtime::path_exists(cpython::Handle file) const {
    return cpython::is_truthy(
        cpython::call_method(cpython::attr(module_attr(os_module), path), exists, file));
}

bool Runtime::is_regular_file(cpython::Handle file) const {
    return cpython::is_truthy(
        cpython::call_method(cpython::attr(module_attr(os_module), path), isfile, file));
}

void Runtime::link_path(cpython::Handle source, cpython::Handle target) const {
    cpython::call_method(module_attr(os_module), link, source, target);
}

void Runtime::remove_path(cpython::Handle file) const {
    cpython::call_method(module_attr(os_module), unlink, file);
}

void Runtime::replace_path(cpython::Handle source, cpython::Handle target) const {
    cpython::call_method(module_attr(os_module), replace, source, target);
}

cpython::Object Runtime::open_file(cpython::Handle file, int flags, int mode) const {
    return cpython::call_method(module_attr(os_module), open_name, file, cpython::integer(flags),
                                cpython::integer(mode));
}

void Runtime::close_file(cpython::Handle descriptor) const {
    cpython::call_method(module_attr(os_module), close_name, descriptor);
}

bool Runtime::try_lock(cpython::Handle descriptor) const {
    std::optional<cpython::Error> held;
    try {
        cpython::call_method(cpython::loaded_module(fcntl_module), flock, descriptor,
                             cpython::integer(LOCK_EX | LOCK_NB));
    } catch (cpython::Error& error) {
        if (!error.matches(PyExc_BlockingIOError)) throw;
        held.emplace(std::move(error));
    }
    return !held;
}

void Runtime::change_directory(std::string_view directory) const {
    cpython::call_method(module_attr(os_module), chdir, cpython::text(directory));
}

void Runtime::append_search_path(std::string_view entry) const {
    cpython::call_method(cpython::attr(module_attr(sys_module), path), append_method,
                         cpython::text(entry));
}

cpython::Object Runtime::current_time() const {
    return cpython::call_method(module_attr(time_module), time_now);
}

void Runtime::sleep(double seconds) const {
    cpython::call_method(module_attr(time_module), sleep_name,
                         cpython::checked(PyFloat_FromDouble(seconds)));
}

cpython::Object Runtime::node_id() const {
    return cpython::call_method(cpython::loaded_module(uuid_module), getnode);
}

cpython::Object Runtime::host_name() const {
    return cpython::call_method(cpython::loaded_module(socket_module), gethostname);
}

cpython::Object Runtime::fully_qualified_name(cpython::Handle name) const {
    return cpython::call_method(cpython::loaded_module(socket_module), getfqdn, name);
}

void Runtime::print_line(cpython::Handle value) const {
    cpython::call_method(cpython::loaded_module(builtins_module), print, value);
}

#if PY_VERSION_HEX >= 0x030B0000
HandledErrorScope::HandledErrorScope(cpython::Error& error)
    : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(error.value().ptr());
}

HandledErrorScope::~HandledErrorScope() {
    if (cpython::thread_ending) return;
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}
#else
HandledErrorScope::HandledErrorScope(cpython::Error& error) {
    PyErr_GetExcInfo(&previous_type_, &previous_, &previous_traceback_);
    PyObject* value = error.value().ptr();
    PyObject* type = value != nullptr ? reinterpret_cast<PyObject*>(Py_TYPE(value)) : nullptr;
    PyObject* traceback = value != nullptr ? PyException_GetTraceback(value) : nullptr;
    // PyErr_SetExcInfo steals its three references.
    Py_XINCREF(type);
    Py_XINCREF(value);
    PyErr_SetExcInfo(type, value, traceback);
}

HandledErrorScope::~HandledErrorScope() {
    if (cpython::thread_ending) return;
    PyErr_SetExcInfo(previous_type_, previous_, previous_traceback_);
}
#endif

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
