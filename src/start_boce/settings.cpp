// Notification settings: which alert channels are configured, and who receives mail.
#include "host/panel.hpp"
#include "host/runtime.hpp"
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"

namespace start_boce {

namespace {

// No existence test and no default: a missing or broken settings file fails the caller.
py::object read_settings_file(const py::object& self, const char* path_attr) {
    return host::json_loads(host::panel::ReadFile(self.attr(path_attr)));
}

bool is_present(py::handle settings) { return py::len(settings) != 0; }

py::object present_or_false(py::object settings) {
    if (!is_present(settings)) return py::bool_(false);
    return settings;
}

}  // namespace

py::object get_user_mail(const py::object& self) {
    return present_or_false(read_settings_file(self, mail_config_attr));
}

py::object get_dingding(const py::object& self) {
    return present_or_false(read_settings_file(self, dingding_config_attr));
}

py::object get_settings(const py::object& self) {
    // Each flag comes from its own read; `info` is read again by the operation that gives it.
    const bool mail_present = is_present(read_settings_file(self, mail_config_attr));
    const bool dingding_present = is_present(read_settings_file(self, dingding_config_attr));

    py::dict settings;
    py::dict user_mail;
    user_mail[names::user_name] = py::bool_(mail_present);
    user_mail[names::mail_list] = self.attr(mail_list_attr);
    user_mail[names::info] = self.attr(operation_name::get_user_mail)();
    settings[names::user_mail] = user_mail;

    py::dict dingding;
    dingding[names::dingding] = py::bool_(dingding_present);
    dingding[names::info] = self.attr(operation_name::get_dingding)();
    settings[names::dingding] = dingding;
    return settings;
}

}  // namespace start_boce
