#include "host/errors.hpp"

#include <exception>

namespace host {

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (Error& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "start_boce: unknown C++ exception");
    }
}

}  // namespace host
