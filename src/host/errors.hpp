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
//
// A catch block never runs Python code: it only takes the error out. The C++ runtime keeps the
// exceptions being handled in a list per thread, and the greenlets of a host under gevent share
// the thread: Python code run inside a catch block could switch to another greenlet that throws
// and catches exceptions of its own, and the list would come out of order.
#pragma once

#include <exception>
#include <new>
#include <optional>

#include "host/python.hpp"

namespace cpython {

// True for an ordinary error (Python's `Exception` and its subclasses), false for requests to
// stop such as KeyboardInterrupt or SystemExit.
inline bool is_ordinary_error(const Error& error) { return error.matches(PyExc_Exception); }

// At the edge of the module, where the runtime calls it: runs `step` and answers its result; when
// `step` ends in a C++ exception, sets the Python error it stands for and answers `failed`. A
// Python error comes back as itself, an exhausted allocator as MemoryError, any other error of
// the standard library as RuntimeError; the module throws nothing else. There is no catch-all:
// the forced unwinding with which CPython ends a thread at exit (python.hpp, `calling`) passes
// every frame of the module as it passes the runtime's own.
template <typename Step, typename Result>
Result answered(Step&& step, Result failed) {
    try {
        return step();
    } catch (Error& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return failed;
}

// Runs `step`. An ordinary error it raises ends the step and goes to `on_error`, once the catch
// block is left; anything else travels on. Running out of memory in C++ counts as the
// MemoryError it becomes (an ordinary error).
template <typename Step, typename OnError>
void on_ordinary_error(Step&& step, OnError&& on_error) {
    std::optional<Error> failure;
    try {
        step();
    } catch (Error& error) {
        if (!is_ordinary_error(error)) throw;
        failure.emplace(std::move(error));
    } catch (const std::bad_alloc&) {
        failure.emplace(Error::no_memory());
    }
    if (failure) on_error(*failure);
}

// Runs `step`; an ordinary error ends it silently.
template <typename Step>
void ignoring_ordinary_errors(Step&& step) {
    on_ordinary_error(std::forward<Step>(step), [](Error&) {});
}

}  // namespace cpython
