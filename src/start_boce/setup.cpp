// The constructor: the sender object and the recipient list.
#include <string>

#include "host/errors.hpp"
#include "host/values.hpp"
#include "start_boce/kept_files.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"

namespace start_boce {

namespace {

constexpr std::string_view empty_list_json = "[]";

void set_recipient_list(Handle self, Handle recipients) {
    cpython::set_attr(self, mail_recipients_attr, recipients);
}

void reset_recipient_list(const Host& host, Handle self, Handle list_file) {
    set_recipient_list(self, cpython::new_list());
    host.panel.write_file(list_file, cpython::text(empty_list_json));
}

enum class ListFile { loaded, broken, unavailable };

// Reads and decodes the list file. Whatever fails on its way to a list makes the file broken: the
// host's ReadFile answers False for a file it cannot read as text (bytes that are no UTF-8
// among them), which decodes to no list, and so do text that is no JSON and JSON that is no
// list. Only errors that say nothing about the file's content leave it alone (an OSError,
// should a host's ReadFile raise one).
ListFile decode_list_file(const Host& host, Handle self, Handle list_file) {
    Object recipients = decoded_file(host, list_file);
    if (!recipients || !PyList_Check(recipients.ptr())) return ListFile::broken;
    set_recipient_list(self, recipients);
    return ListFile::loaded;
}

ListFile load_list_file(const Host& host, Handle self, Handle list_file) {
    ListFile outcome = ListFile::unavailable;
    cpython::ignoring_ordinary_errors([&] { outcome = decode_list_file(host, self, list_file); });
    return outcome;
}

void load_recipient_list(const Host& host, Handle self) {
    Object list_file = cpython::attr(self, mail_list_path_attr);
    if (!host.runtime.path_exists(list_file)) {
        reset_recipient_list(host, self, list_file);
        return;
    }
    // A FIFO, a device or a directory is never read (a FIFO would block) and never replaced. The
    // test is the last step before the host's read; a FIFO put at the path in between still
    // blocks that read, which only the host could prevent.
    const ListFile outcome = host.runtime.is_regular_file(list_file)
                                 ? load_list_file(host, self, list_file)
                                 : ListFile::unavailable;
    if (outcome == ListFile::broken && keep_broken_file(host, list_file)) {
        reset_recipient_list(host, self, list_file);
    } else if (outcome != ListFile::loaded) {
        // The file stays as it is; this object makes do without recipients.
        set_recipient_list(self, cpython::new_list());
    }
}

}  // namespace

void construct(const Host& host, Handle self) {
    // A host panel always gets its plug-in object: an ordinary error ends construction silently,
    // and the members not yet set stay absent.
    cpython::ignoring_ordinary_errors([&] {
        cpython::set_attr(self, mail_sender_attr, host.panel.make_sender());
        load_recipient_list(host, self);
    });
}

}  // namespace start_boce
