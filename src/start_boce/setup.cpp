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
// Backup names tried before the broken file is left where it is.
constexpr int backup_names = 1000;

void set_recipient_list(const py::object& self, py::object recipients) {
    self.attr(mail_list_attr) = std::move(recipients);
}

void reset_recipient_list(const py::object& self, py::handle list_file) {
    set_recipient_list(self, py::list());
    host::panel::write_file(list_file, py::str(empty_list_json));
}

py::object backup_name(py::handle list_file, int number) {
    return list_file + py::str(number == 0 ? ".bak" : ".bak." + std::to_string(number));
}

// Gives the broken file the first free backup name. The name is taken atomically (a hard link
// fails on any existing name, a dangling link included), so no backup is ever overwritten, not
// even by another constructor at the same moment; only then does the file leave its own name.
// False when no name could be taken: the file then stays where it is, whole.
bool keep_broken_list_file(py::handle list_file) {
    bool kept = false;
    host::ignoring_ordinary_errors([&] {
        bool linked = false;
        for (int number = 0; number < backup_names && !linked; ++number) {
            try {
                host::link_path(list_file, backup_name(list_file, number));
                linked = true;
            } catch (py::error_already_set& error) {
                if (!error.matches(PyExc_FileExistsError)) throw;
            }
        }
        if (!linked) return;
        host::remove_path(list_file);
        kept = true;
    });
    return kept;
}

enum class ListFile { loaded, broken, unavailable };

// True for an error that says something about the machine, not about the file's content:
// running out of memory, too deep a nesting, a failing read.
bool says_nothing_about_the_file(const py::error_already_set& error) {
    return error.matches(PyExc_MemoryError) || error.matches(PyExc_RecursionError) ||
           error.matches(PyExc_OSError);
}

// Reads and decodes the list file. Whatever fails on its way to a list makes the file broken: the
// host's ReadFile answers False for a file it cannot read as text (bytes that are no UTF-8
// among them), which decodes to no list, and so do text that is no JSON and JSON that is no
// list. Only the errors above leave the file alone (an OSError, should a host's ReadFile raise
// one).
ListFile decode_list_file(const py::object& self, py::handle list_file) {
    py::object recipients;
    try {
        recipients = host::json_loads(host::panel::ReadFile(list_file));
    } catch (py::error_already_set& error) {
        if (!host::is_ordinary_error(error) || says_nothing_about_the_file(error)) throw;
        return ListFile::broken;
    }
    if (!py::isinstance<py::list>(recipients)) return ListFile::broken;
    set_recipient_list(self, std::move(recipients));
    return ListFile::loaded;
}

ListFile load_list_file(const py::object& self, py::handle list_file) {
    ListFile outcome = ListFile::unavailable;
    host::ignoring_ordinary_errors([&] { outcome = decode_list_file(self, list_file); });
    return outcome;
}

void load_recipient_list(const py::object& self) {
    py::object list_file = self.attr(mail_list_data_attr);
    if (!host::path_exists(list_file)) {
        reset_recipient_list(self, list_file);
        return;
    }
    // A FIFO, a device or a directory is never read (a FIFO would block) and never replaced. The
    // test is the last step before the host's read; a FIFO put at the path in between still
    // blocks that read, which only the host could prevent.
    const ListFile outcome =
        host::is_regular_file(list_file) ? load_list_file(self, list_file) : ListFile::unavailable;
    if (outcome == ListFile::broken && keep_broken_list_file(list_file)) {
        reset_recipient_list(self, list_file);
    } else if (outcome != ListFile::loaded) {
        // The file stays as it is; this object makes do without recipients.
        set_recipient_list(self, py::list());
    }
}

}  // namespace

void construct(const py::object& self) {
    // A host panel always gets its plug-in object: an ordinary error ends construction silently,
    // and the members not yet set stay absent.
    host::ignoring_ordinary_errors([&] {
        self.attr(sender_attr) = host::sender::make();
        load_recipient_list(self);
    });
}

}  // namespace start_boce
