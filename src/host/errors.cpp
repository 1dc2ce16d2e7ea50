#include "host/errors.hpp"

namespace host {

bool is_ordinary_error(const py::error_already_set& error) {
    return error.matches(PyExc_Exception);
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace host
