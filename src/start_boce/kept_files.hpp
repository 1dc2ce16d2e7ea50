// Files the plug-in keeps in the panel's data directory: a broken one is put aside under a backup
// name before it is replaced, and a new one is written whole or not at all.
#pragma once

#include "host/host.hpp"
#include "host/python.hpp"

namespace start_boce {

// The JSON value of the file at `path`, read through the host (public.ReadFile); an empty Object
// when the file is broken: the host could not read it as text (its ReadFile answers False, which
// decodes to no value the caller wants either) or it holds no JSON. Errors that say nothing about
// the file's content (no memory, too deep a nesting, a failing read) travel on.
host::Object decoded_file(const host::Host& host, host::Handle path);

// Gives the broken file at `path` the first free backup name (path.bak, path.bak.1, ...). False
// when no name could be taken: the file then stays where it is, whole.
bool keep_broken_file(const host::Host& host, host::Handle path);

// Writes `text` to a file beside `path` and puts it in `path`'s place in one step, so that a
// reader finds the old file or the new one, never a part; false when the host could not write it.
bool write_whole(const host::Host& host, host::Handle path, host::Handle text);

}  // namespace start_boce
