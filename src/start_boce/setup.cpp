// The constructor: the sender object and the recipient list.
#include "host/errors.hpp"
#include "host/panel.hpp"
#include "host/runtime.hpp"
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"

namespace start_boce {

namespace {

constexpr const char* empty_list_json = "[]";
// Backups beyond this many are not made: the broken file is then simply reset.
constexpr int backup_names = 1000;

void reset_recipient_list(const py::object& self, py::handle list_file) {
    self.attr(mail_list_attr) = py::list();
    host::panel::write_file(list_file, py::str(empty_list_json));
}

// The first of `mail_list.json.bak`, `mail_list.json.bak.1`, ... that names nothing yet, not
// even a dangling link; none when every name is taken.
py::object free_backup_name(py::handle list_file) {
    py::object backup = list_file + py::str(".bak");
    for (int number = 1; host::path_or_link_exists(backup); ++number) {
        if (number == backup_names) return py::none();
        backup = list_file + py::str(".bak." + std::to_string(number));
    }
    return backup;
}

// A list file that cannot be read or decoded still holds what someone wrote there: keep it
// beside the fresh one, never over an older backup. If even the move fails, go on without it.
void keep_broken_list_file(py::handle list_file) {
    host::ignoring_ordinary_errors([&] {
        py::object backup = free_backup_name(list_file);
        if (!backup.is_none()) host::rename_path(list_file, backup);
    });
}

// The decoded recipient list, set as the member; false when the file cannot be read or does not
// hold a JSON list.
bool load_list_file(const py::object& self, py::handle list_file) {
    bool loaded = false;
    host::ignoring_ordinary_errors([&] {
        py::object recipients = host::json_loads(host::panel::ReadFile(list_file));
        if (!py::isinstance<py::list>(recipients)) return;
        self.attr(mail_list_attr) = recipients;
        loaded = true;
    });
    return loaded;
}

void load_recipient_list(const py::object& self) {
    py::object list_file = self.attr(mail_list_data_attr);
    if (!host::path_exists(list_file)) {
        reset_recipient_list(self, list_file);
        return;
    }
    if (!load_list_file(self, list_file)) {
        keep_broken_list_file(list_file);
        reset_recipient_list(self, list_file);
    }
}

}  // namespace

void construct(const py::object& self) {
    // A host panel always gets its plug-in object: an ordinary error ends construction silently,
    // and the members not yet set stay absent.
    host::ignoring_ordinary_errors([&] {
        self.attr("mail") = host::sender::make();
        load_recipient_list(self);
    });
}

}  // namespace start_boce
