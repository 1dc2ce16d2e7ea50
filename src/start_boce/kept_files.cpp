// Files the plug-in keeps: backups of broken ones, and whole writes.
#include "start_boce/kept_files.hpp"

#include <fcntl.h>

#include <optional>
#include <string>

#include "host/errors.hpp"
#include "host/values.hpp"

namespace start_boce {

namespace {

// Backup names tried before the broken file is left where it is.
constexpr int backup_names = 1000;

cpython::Object backup_name(cpython::Handle path, int number) {
    return cpython::sum(path,
                        cpython::text(number == 0 ? ".bak" : ".bak." + std::to_string(number)));
}

// Whether the backup name `number` could be given to the file (false: it is taken).
bool link_to_backup(const host::Host& host, cpython::Handle path, int number) {
    std::optional<cpython::Error> taken;
    try {
        host.runtime.link_path(path, backup_name(path, number));
    } catch (cpython::Error& error) {
        if (!error.matches(PyExc_FileExistsError)) throw;
        taken.emplace(std::move(error));
    }
    return !taken;
}

bool says_nothing_about_the_file(const cpython::Error& error) {
    return error.matches(PyExc_MemoryError) || error.matches(PyExc_RecursionError) ||
           error.matches(PyExc_OSError);
}

}  // namespace

cpython::Object decoded_file(const host::Host& host, cpython::Handle path) {
    cpython::Object value;
    std::optional<cpython::Error> undecodable;
    try {
        value = host.runtime.json_loads(host.panel.ReadFile(path));
    } catch (cpython::Error& error) {
        if (!cpython::is_ordinary_error(error) || says_nothing_about_the_file(error)) throw;
        undecodable.emplace(std::move(error));
    }
    if (undecodable) return {};
    return value;
}

// The name is taken atomically (a hard link fails on any existing name, a dangling link
// included), so no backup is ever overwritten, not even by another process at the same moment;
// only then does the file leave its own name.
bool keep_broken_file(const host::Host& host, cpython::Handle path) {
    bool kept = false;
    cpython::ignoring_ordinary_errors([&] {
        bool linked = false;
        for (int number = 0; number < backup_names && !linked; ++number) {
            linked = link_to_backup(host, path, number);
        }
        if (!linked) return;
        host.runtime.remove_path(path);
        kept = true;
    });
    return kept;
}

bool write_whole(const host::Host& host, cpython::Handle path, cpython::Handle text) {
    const cpython::Object beside = cpython::sum(path, cpython::text(".new"));
    if (!host.panel.wrote_file(beside, text)) return false;
    host.runtime.replace_path(beside, path);
    return true;
}

cpython::Object open_lock_file(const host::Host& host, cpython::Handle path) {
    return host.runtime.open_file(cpython::sum(path, cpython::text(".lock")),
                                  O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

// Another run holds the lock only for a read and a write: it is asked again every 10 ms, with
// the time between given to the host (under gevent, to the greenlet that holds it).
bool take_lock(const host::Host& host, cpython::Handle descriptor) {
    constexpr double pause_seconds = 0.01;
    for (double waited = 0; waited < lock_wait_seconds; waited += pause_seconds) {
        if (host.runtime.try_lock(descriptor)) return true;
        host.runtime.sleep(pause_seconds);
    }
    return false;
}

}  // namespace start_boce
