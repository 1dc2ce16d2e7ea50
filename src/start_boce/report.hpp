// The anomaly report and its title, as texts. The report writes the replacement texts into the
// caller's records as it reads them.
#pragma once

#include <pybind11/pybind11.h>

namespace start_boce {

namespace py = pybind11;

py::object make_title(py::handle task_name, py::handle anomaly_count);
py::str make_report(py::handle data);

}  // namespace start_boce
