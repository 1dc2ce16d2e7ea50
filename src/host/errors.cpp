#include "host/errors.hpp"

#include "host/panel.hpp"
#include "host/runtime.hpp"

namespace host {

bool is_ordinary_error(const py::error_already_set& error) {
    return error.matches(PyExc_Exception);
}

void show_error(const py::error_already_set& error) { print_line(panel::describe_error(error)); }

}  // namespace host
