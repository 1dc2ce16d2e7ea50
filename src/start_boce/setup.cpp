// The constructor: the sender object and the recipient list.
#include "host/panel.hpp"
#include "host/runtime.hpp"
#include "host/values.hpp"
#include "start_boce/plugin.hpp"

namespace start_boce {

namespace {

constexpr const char* empty_list_json = "[]";

void reset_recipient_list(const py::object& self, py::handle list_file) {
    self.attr(mail_list_attr) = py::list();
    host::panel::write_file(list_file, py::str(empty_list_json));
}

// A list file that cannot be read or decoded still holds what someone wrote there: keep it
// beside the fresh one instead of losing it. If even the move fails, go on without it.
void keep_broken_list_file(py::handle list_file) {
    try {
        static constinit host::Name backup_suffix{".bak"};
        host::rename_path(list_file, host::add(list_file, backup_suffix));
    } catch (py::error_already_set&) {
    }
}

void load_recipient_list(const py::object& self) {
    py::object list_file = self.attr(mail_list_data_attr);
    if (!host::path_exists(list_file)) {
        reset_recipient_list(self, list_file);
        return;
    }
    try {
        self.attr(mail_list_attr) = host::json_loads(host::panel::read_file(list_file));
    } catch (py::error_already_set&) {
        // Whatever the failure, the object still gets a usable, empty list.
        keep_broken_list_file(list_file);
        reset_recipient_list(self, list_file);
    }
}

}  // namespace

void construct(const py::object& self) {
    // The constructor never fails: a host panel must always get its plug-in object. A step that
    // fails ends construction silently, and the members it did not set stay absent.
    try {
        self.attr("mail") = host::sender::make();
        load_recipient_list(self);
    } catch (py::error_already_set&) {
    } catch (std::exception&) {
    }
}

}  // namespace start_boce
