// The plug-in's error policy, in one place.
//
// Errors travel to the caller as Python exceptions, except in five places that promise to carry
// on: the constructor (it always yields an object), the dispatch post (a status record), each
// single delivery of a report (the next recipient still gets mail), the alert step of a probe
// run (the run is still stored) and the reading of a record's time for the ordering (a KeyError
// there only means the record has no time, and it sorts last). Those places catch ordinary errors
// only, that is Python's `Exception` and its subclasses; KeyboardInterrupt, SystemExit and every
// other error that is not an `Exception` always travel on unchanged, so that a panel shutdown is
// never ignored. Where an ordinary error is caught, the constructor stays silent and the others
// show the host's description of the error (`public.get_error_info()`) on standard output
// (panel.hpp's completed_or_shown, beside the host's services it asks).
#pragma once

#include <pybind11/pybind11.h>

#include <new>

namespace host {

namespace py = pybind11;

// True for an ordinary error (Python's `Exception` and its subclasses), false for requests to
// stop such as KeyboardInterrupt or SystemExit.
bool is_ordinary_error(const py::error_already_set& error);

// Inside a catch block: sets the Python error that the C++ exception in flight stands for, so
// that no C++ exception ever unwinds through the runtime's frames. A Python error comes back as
// itself, an exhausted allocator as MemoryError, pybind11's own errors as theirs, a C++ error
// raised over a runtime error still set (pybind11's failed allocations) as that runtime error,
// anything else as RuntimeError.
void set_error_from_current_exception() noexcept;

// Runs `step`. An ordinary error it raises goes to `on_error` and ends the step; anything else
// travels on. Errors raised by the plug-in's own C++ code count as the Python errors they become,
// and so does running out of memory (MemoryError is an ordinary error).
template <typename Step, typename OnError>
void on_ordinary_error(Step&& step, OnError&& on_error) {
    try {
        step();
    } catch (py::error_already_set& error) {
        if (!is_ordinary_error(error)) throw;
        on_error(error);
    } catch (py::builtin_exception& error) {
        error.set_error();
        on_error(py::error_already_set());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        on_error(py::error_already_set());
    } catch (const std::runtime_error&) {
        if (PyErr_Occurred() == nullptr) throw;
        py::error_already_set error;  // a runtime allocation that failed under pybind11
        if (!is_ordinary_error(error)) throw error;
        on_error(error);
    }
}

// Runs an operation's body. pybind11 answers a runtime allocation that failed (an int, a string,
// a list it makes) with its own std::runtime_error, "Could not allocate ... object!", which its
// dispatcher reports as RuntimeError; the runtime's own error, still set, is what happened and
// leaves instead: MemoryError.
template <typename Step>
decltype(auto) with_runtime_errors(Step&& step) {
    try {
        return step();
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const std::runtime_error&) {
        if (PyErr_Occurred() == nullptr) throw;
        throw py::error_already_set();
    }
}

// Runs `step`; an ordinary error ends it silently.
template <typename Step>
void ignoring_ordinary_errors(Step&& step) {
    on_ordinary_error(std::forward<Step>(step), [](const py::error_already_set&) {});
}

}  // namespace host
