// The host runtime's services as the plug-in uses them: JSON, files and paths, the module search
// path, time, machine facts and standard output.
//
// Every service is looked up at the moment of the call: the JSON and time services through the
// plug-in module's own attributes (`start_boce.json`, `start_boce.time`), `os` and `sys` likewise,
// and `uuid` and `socket` through the runtime's module table. A host (or a test) that replaces one
// of them is therefore seen by the next call, exactly as by a Python module.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

namespace host {

namespace py = pybind11;

// The plug-in module whose attributes hold the host modules: the module object that defined the
// class whose operation runs, as a Python function reads its own module's globals whatever
// happens to `sys.modules`. Each operation, and the load, opens a scope for its module on the
// calling thread; a call through the object opens its own, and the previous one comes back when
// it ends.
class ModuleScope {
  public:
    explicit ModuleScope(py::handle module) noexcept;
    ~ModuleScope();
    ModuleScope(const ModuleScope&) = delete;
    ModuleScope& operator=(const ModuleScope&) = delete;

  private:
    PyObject* previous_;
};

// An attribute of the module in scope (RuntimeError outside every scope).
py::object plugin_attr(const char* name);

py::object json_loads(py::handle text);
py::object json_dumps(py::handle value);

bool path_exists(py::handle path);
bool is_regular_file(py::handle path);                 // os.path.isfile
void link_path(py::handle source, py::handle target);  // os.link: FileExistsError when taken
void remove_path(py::handle path);                     // os.unlink
void change_directory(std::string_view path);
void append_search_path(std::string_view entry);

py::object current_time();  // seconds since the epoch, with a fraction
py::object node_id();       // the machine's 48-bit hardware address as a number
py::object host_name();
py::object fully_qualified_name(py::handle name);

// print(value): the runtime's print, so it goes through `sys.stdout` as the host has set it.
void print_line(py::handle value);

// While it lives, `error` is the runtime's handled exception, as inside a Python `except` block,
// so that a host service that formats "the current error" sees it. The previous one comes back
// when the scope ends.
class HandledErrorScope {
  public:
    explicit HandledErrorScope(const py::error_already_set& error);
    ~HandledErrorScope();
    HandledErrorScope(const HandledErrorScope&) = delete;
    HandledErrorScope& operator=(const HandledErrorScope&) = delete;

  private:
    // Before 3.11 the handled exception is a (type, value, traceback) triple; since, its value.
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* previous_;
#else
    PyObject* previous_type_;
    PyObject* previous_;
    PyObject* previous_traceback_;
#endif
};

// What PYBIND11_MODULE's entry does before anything else, for the plug-in's entry written by
// hand: the interpreter is the one the module was built for, and pybind11's process-wide state
// is ready. It mirrors pybind11 2.13 (PYBIND11_CHECK_PYTHON_VERSION,
// PYBIND11_ENSURE_INTERNALS_READY); the build stops when another pybind11 is used, so that this
// is looked at again. False, with the Python error set, when the module cannot load.
bool prepare_pybind11() noexcept;

// Puts the module's thread-local data (the C++ runtime linked into it keeps each thread's
// exception state there) into glibc's static TLS block, allocated together with each thread.
// Otherwise it is allocated on its first use in a thread, and glibc aborts the whole process when
// that allocation fails. Called once by the module's entry.
void keep_thread_data_static();

// The module loads only in the main interpreter: it keeps process-wide state (its module, its
// interned names) that another interpreter must not share.
bool in_main_interpreter();

}  // namespace host
