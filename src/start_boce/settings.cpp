// Notification settings: which alert channels are configured, and who receives mail.
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/operations.hpp"
#include "start_boce/plugin.hpp"

namespace start_boce {

namespace {

// No existence test and no default: a missing or broken settings file fails the caller.
Object read_settings_file(const Host& host, Handle self, const cpython::Name& path_attr) {
    return host.runtime.json_loads(host.panel.ReadFile(cpython::attr(self, path_attr)));
}

bool is_present(Handle settings) { return cpython::length(settings) != 0; }

Object present_or_false(Object settings) {
    if (!is_present(settings)) return cpython::boolean(false);
    return settings;
}

}  // namespace

Object get_user_mail(const Host& host, Handle self) {
    return present_or_false(read_settings_file(host, self, mail_config_path_attr));
}

Object get_dingding(const Host& host, Handle self) {
    return present_or_false(read_settings_file(host, self, dingding_config_path_attr));
}

Object get_settings(const Host& host, Handle self) {
    // Each flag comes from its own read; `info` is read again by the operation that gives it.
    const bool mail_present = is_present(read_settings_file(host, self, mail_config_path_attr));
    const bool dingding_present =
        is_present(read_settings_file(host, self, dingding_config_path_attr));

    Object settings = cpython::new_dict();
    Object user_mail = cpython::new_dict();
    cpython::set_item(user_mail, names::user_name, cpython::boolean(mail_present));
    cpython::set_item(user_mail, names::mail_list, cpython::attr(self, mail_recipients_attr));
    cpython::set_item(user_mail, names::info,
                      cpython::call_method(self, operation_name<get_user_mail>));
    cpython::set_item(settings, names::user_mail, user_mail);

    Object dingding = cpython::new_dict();
    cpython::set_item(dingding, names::dingding, cpython::boolean(dingding_present));
    cpython::set_item(dingding, names::info,
                      cpython::call_method(self, operation_name<get_dingding>));
    cpython::set_item(settings, names::dingding, dingding);
    return settings;
}

}  // namespace start_boce
