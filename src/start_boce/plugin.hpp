// The operations of the plug-in class `start_boce`. Each takes the object itself first, as a
// Python method does, and calls the object's other operations through it, so that a subclass or
// an instance attribute that replaces one of them is honoured.
#pragma once

#include <pybind11/pybind11.h>

namespace start_boce {

namespace py = pybind11;

// The name of each operation in the class: the binding registers each under it, and an operation
// that calls another calls it through the object by the same name.
namespace operation_name {
inline constexpr const char* get_user_mail = "get_user_mail";
inline constexpr const char* get_dingding = "get_dingding";
inline constexpr const char* get_settings = "get_settings";
inline constexpr const char* get_mac_address = "get_mac_address";
inline constexpr const char* get_cpuname = "get_cpuname";
inline constexpr const char* get_hostname = "get_hostname";
inline constexpr const char* create_serverid = "create_serverid";
inline constexpr const char* send_task = "_send_task";
inline constexpr const char* send_mail = "send_mail";
inline constexpr const char* get_state = "get_state";
inline constexpr const char* start = "start";
}  // namespace operation_name

// The object's attribute that holds the sender object the constructor made.
inline constexpr const char* sender_attr = "mail";

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
