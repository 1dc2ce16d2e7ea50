// The constructor: the sender object and the recipient list.
#include <string>

#include "host/errors.hpp"
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"

namespace start_boce {

namespace {

constexpr std::string_view empty_list_json = "[]";
// Backup names tried before the broken file is left where it is.
constexpr int backup_names = 1000;

void set_recipient_list(Handle self, Handle recipients) {
    host::set_attr(self, mail_list_attr, recipients);
}

void reset_recipient_list(const Host& host, Handle self, Handle list_file) {
    set_recipient_list(self, host::new_list());
    host.panel.write_file(list_file, host::text(empty_list_json));
}

Object backup_name(Handle list_file, int number) {
    return host::sum(list_file,
                     host::text(number == 0 ? ".bak" : ".bak." + std::to_string(number)));
}

// Whether the backup name `number` could be given to the list file (false: it is taken).
bool link_to_backup(const Host& host, Handle list_file, int number) {
    std::optional<host::Error> taken;
    try {
        host.runtime.link_path(list_file, backup_name(list_file, number));
    } catch (host::Error& error) {
        if (!error.matches(PyExc_FileExistsError)) throw;
        taken.emplace(std::move(error));
    }
    return !taken;
}

// Gives the broken file the first free backup name. The name is taken atomically (a hard link
// fails on any existing name, a dangling link included), so no backup is ever overwritten, not
// even by another constructor at the same moment; only then does the file leave its own name.
// False when no name could be taken: the file then stays where it is, whole.
bool keep_broken_list_file(const Host& host, Handle list_file) {
    bool kept = false;
    host::ignoring_ordinary_errors([&] {
        bool linked = false;
        for (int number = 0; number < backup_names && !linked; ++number) {
            linked = link_to_backup(host, list_file, number);
        }
        if (!linked) return;
        host.runtime.remove_path(list_file);
        kept = true;
    });
    return kept;
}

enum class ListFile { loaded, broken, unavailable };

// True for an error that says something about the machine, not about the file's content:
// running out of memory, too deep a nesting, a failing read.
bool says_nothing_about_the_file(const host::Error& error) {
    return error.matches(PyExc_MemoryError) || error.matches(PyExc_RecursionError) ||
           error.matches(PyExc_OSError);
}

// Reads and decodes the list file. Whatever fails on its way to a list makes the file broken: the
// host's ReadFile answers False for a file it cannot read as text (bytes that are no UTF-8
// among them), which decodes to no list, and so do text that is no JSON and JSON that is no
// list. Only the errors above leave the file alone (an OSError, should a host's ReadFile raise
// one).
ListFile decode_list_file(const Host& host, Handle self, Handle list_file) {
    Object recipients;
    std::optional<host::Error> undecodable;
    try {
        recipients = host.runtime.json_loads(host.panel.ReadFile(list_file));
    } catch (host::Error& error) {
        if (!host::is_ordinary_error(error) || says_nothing_about_the_file(error)) throw;
        undecodable.emplace(std::move(error));
    }
    if (undecodable || !PyList_Check(recipients.ptr())) return ListFile::broken;
    set_recipient_list(self, recipients);
    return ListFile::loaded;
}

ListFile load_list_file(const Host& host, Handle self, Handle list_file) {
    ListFile outcome = ListFile::unavailable;
    host::ignoring_ordinary_errors([&] { outcome = decode_list_file(host, self, list_file); });
    return outcome;
}

void load_recipient_list(const Host& host, Handle self) {
    Object list_file = host::attr(self, mail_list_data_attr);
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
    if (outcome == ListFile::broken && keep_broken_list_file(host, list_file)) {
        reset_recipient_list(host, self, list_file);
    } else if (outcome != ListFile::loaded) {
        // The file stays as it is; this object makes do without recipients.
        set_recipient_list(self, host::new_list());
    }
}

}  // namespace

void construct(const Host& host, Handle self) {
    // A host panel always gets its plug-in object: an ordinary error ends construction silently,
    // and the members not yet set stay absent.
    host::ignoring_ordinary_errors([&] {
        host::set_attr(self, sender_attr, host.panel.make_sender());
        load_recipient_list(host, self);
    });
}

}  // namespace start_boce
