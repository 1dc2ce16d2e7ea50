// The operations of the plug-in class `start_boce`. Each takes the object itself first, as a
// Python method does, and calls the object's other operations through it, so that a subclass or
// an instance attribute that replaces one of them is honoured.
#pragma once

#include <pybind11/pybind11.h>

namespace start_boce {

namespace py = pybind11;

// Setup: the constructor.
void construct(const py::object& self);

// Notification settings.
py::object get_user_mail(const py::object& self);
py::object get_dingding(const py::object& self);
py::object get_settings(const py::object& self);

// Server identity.
py::object get_mac_address(const py::object& self);
py::object get_cpuname(const py::object& self);
py::object get_hostname(const py::object& self);
py::object create_serverid(const py::object& self, const py::object& get);

// Dispatch request.
py::object send_task(const py::object& self, const py::object& id);

// Anomaly report and delivery.
py::object send_mail(const py::object& self, const py::object& data, const py::object& num,
                     const py::object& id, const py::object& send);

// Probe run.
py::object get_state(const py::object& self, const py::object& data, const py::object& id);
py::object start(const py::object& self, const py::object& id);

}  // namespace start_boce
