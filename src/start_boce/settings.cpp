// Notification settings: which alert channels are configured, and who receives mail.
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/operations.hpp"
#include "start_boce/plugin.hpp"

namespace start_boce {

namespace {

// No existence test and no default: a missing or broken settings file fails the caller.
Object read_settings_file(const Host& host, Handle self, const host::Name& path_attr) {
    return host.runtime.json_loads(host.panel.ReadFile(host::attr(self, path_attr)));
}

bool is_present(Handle settings) { return host::length(settings) != 0; }

Object present_or_false(Object settings) {
    if (!is_present(settings)) return host::boolean(false);
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

    Object settings = host::new_dict();
    Object user_mail = host::new_dict();
    host::set_item(user_mail, names::user_name, host::boolean(mail_present));
    host::set_item(user_mail, names::mail_list, host::attr(self, mail_recipients_attr));
    host::set_item(user_mail, names::info, host::call_method(self, operation_name<get_user_mail>));
    host::set_item(settings, names::user_mail, user_mail);

    Object dingding = host::new_dict();
    host::set_item(dingding, names::dingding, host::boolean(dingding_present));
    host::set_item(dingding, names::info, host::call_method(self, operation_name<get_dingding>));
    host::set_item(settings, names::dingding, dingding);
    return settings;
}

}  // namespace start_boce
