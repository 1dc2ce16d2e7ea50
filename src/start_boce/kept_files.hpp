// Files the plug-in keeps in the panel's data directory: a broken one is put aside under a backup
// name before it is replaced, and a new one is written whole or not at all.
#pragma once

#include <new>
#include <optional>
#include <utility>

#include "host/host.hpp"
#include "host/python.hpp"

namespace start_boce {

// The JSON value of the file at `path`, read through the host (public.ReadFile); an empty Object
// when the file is broken: the host could not read it as text (its ReadFile answers False, which
// decodes to no value the caller wants either) or it holds no JSON. Errors that say nothing about
// the file's content (no memory, too deep a nesting, a failing read) travel on.
cpython::Object decoded_file(const host::Host& host, cpython::Handle path);

// Gives the broken file at `path` the first free backup name (path.bak, path.bak.1, ...). False
// when no name could be taken: the file then stays where it is, whole.
bool keep_broken_file(const host::Host& host, cpython::Handle path);

// Writes `text` to a file beside `path` and puts it in `path`'s place in one step, so that a
// reader finds the old file or the new one, never a part; false when the host could not write it.
bool write_whole(const host::Host& host, cpython::Handle path, cpython::Handle text);

// The lock of the file at `path` (an flock on path.lock, which the runs of every process and
// thread take in turn): false when it could not be had within lock_wait_seconds.
bool take_lock(const host::Host& host, cpython::Handle descriptor);
cpython::Object open_lock_file(const host::Host& host, cpython::Handle path);
inline constexpr double lock_wait_seconds = 10;

// Runs `step` holding the lock of the file at `path`, which is let go of on every way out,
// outside any catch block; false (and `step` not run) when the lock could not be had.
template <typename Step>
bool holding_lock(const host::Host& host, cpython::Handle path, Step&& step) {
    const cpython::Object descriptor = open_lock_file(host, path);
    bool locked = false;
    std::optional<cpython::Error> failure;
    try {
        locked = take_lock(host, descriptor);
        if (locked) step();
    } catch (cpython::Error& error) {
        failure.emplace(std::move(error));
    } catch (const std::bad_alloc&) {
        failure.emplace(cpython::Error::no_memory());
    }
    host.runtime.close_file(descriptor);  // which lets go of the lock
    if (failure) throw std::move(*failure);
    return locked;
}

}  // namespace start_boce
