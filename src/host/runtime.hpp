// The host runtime's services as the plug-in uses them: JSON, files and paths, the module search
// path, time, machine facts and standard output.
//
// Every service is looked up at the moment of the call: the JSON and time services through the
// plug-in module's own attributes (`start_boce.json`, `start_boce.time`), `os` and `sys` likewise,
// and `uuid` and `socket` through the runtime's module table. A host (or a test) that replaces one
// of them is therefore seen by the next call, exactly as by a Python module. The plug-in module
// is the one whose class defined the operation that asks: it is passed in, never kept anywhere
// another operation could change it.
#pragma once

#include <string_view>

#include "host/python.hpp"

namespace host {

class Runtime {
  public:
    // `module`: the plug-in module, alive for as long as this is used.
    explicit Runtime(cpython::Handle module) : module_(module) {}

    cpython::Object json_loads(cpython::Handle text) const;
    cpython::Object json_dumps(cpython::Handle value) const;

    bool path_exists(cpython::Handle path) const;
    bool is_regular_file(cpython::Handle path) const;  // os.path.isfile
    void link_path(cpython::Handle source,
                   cpython::Handle target) const;  // os.link: FileExistsError when taken
    void remove_path(cpython::Handle path) const;  // os.unlink
    void replace_path(cpython::Handle source, cpython::Handle target) const;  // os.replace
    cpython::Object open_file(cpython::Handle path, int flags,
                              int mode) const;          // os.open: a descriptor
    void close_file(cpython::Handle descriptor) const;  // os.close
    // fcntl.flock(descriptor, LOCK_EX | LOCK_NB): false when another descriptor holds the lock.
    bool try_lock(cpython::Handle descriptor) const;
    void change_directory(std::string_view path) const;
    void append_search_path(std::string_view entry) const;

    cpython::Object current_time() const;  // seconds since the epoch, with a fraction
    void sleep(double seconds) const;      // time.sleep: under gevent, other greenlets run
    cpython::Object node_id() const;       // the machine's 48-bit hardware address as a number
    cpython::Object host_name() const;
    cpython::Object fully_qualified_name(cpython::Handle name) const;

    // print(value): the runtime's print, so it goes through `sys.stdout` as the host has set it.
    void print_line(cpython::Handle value) const;

  private:
    cpython::Object module_attr(const cpython::Name& name) const;
    cpython::Handle module_;
};

// While it lives, `error` is the runtime's handled exception, as inside a Python `except` block,
// so that a host service that formats "the current error" sees it. The previous one comes back
// when the scope ends.
class HandledErrorScope {
  public:
    explicit HandledErrorScope(cpython::Error& error);
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

// Puts the module's thread-local data (the C++ runtime linked into it keeps each thread's
// exception state there) into glibc's static TLS block, allocated together with each thread.
// Otherwise it is allocated on its first use in a thread, and glibc aborts the whole process when
// that allocation fails. Called once by the module's entry.
void keep_thread_data_static();

// The module loads only in the main interpreter: it keeps process-wide state (its interned
// names) that another interpreter must not share.
bool in_main_interpreter();

}  // namespace host
