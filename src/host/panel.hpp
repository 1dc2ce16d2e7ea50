// The host panel's services as the plug-in uses them: the helper library `public` with its
// database queries, and the sender module `send_mail` with the sender object it makes.
//
// `public` and `send_mail` are read from the plug-in module's attributes on every use, so a host
// that replaces them is seen at once (a report's SizeFormatter alone holds `to_size` for the
// report it writes). Arguments go positional or named exactly as the host panel expects them.
#pragma once

#include <string_view>

#include "host/errors.hpp"
#include "host/python.hpp"
#include "host/runtime.hpp"

namespace host {

// A query on one table, as made by `public.M(table)`.
class Query {
  public:
    explicit Query(Object query) : query_(std::move(query)) {}

    Query where(std::string_view condition, Handle value) const;  // value bound to the one "?"
    Object get_field(Handle field) const;  // first matching row, or a false value
    // Adds a row. The host reports a failed insert by raising or by answering its error text
    // instead of a row id; either way the caller gets an error, so no run is lost unseen.
    void insert(Handle record) const;

  private:
    Object query_;
};

class Panel {
  public:
    // `module`: the plug-in module, alive for as long as this is used; `runtime` its services.
    Panel(Handle module, const Runtime& runtime) : module_(module), runtime_(runtime) {}

    // The host has both spellings, and the plug-in uses each where the host's own plug-ins do.
    Object ReadFile(Handle path) const;               // NOLINT(readability-identifier-naming)
    Object readFile(Handle path) const;               // NOLINT(readability-identifier-naming)
    void write_file(Handle path, Handle text) const;  // result not looked at
    bool wrote_file(Handle path, Handle text) const;  // the same, and whether it says it wrote
    Object exec_shell(std::string_view command_line) const;
    Object md5(Handle text) const;
    Object return_msg(bool status, std::string_view message) const;
    Object http_post(std::string_view url, Handle data, int timeout) const;
    Object format_date() const;
    Object to_size() const;  // public.to_size itself, for a report that asks it twice per row
    Query table(std::string_view name) const;

    // The host's description of `error` (public.get_error_info), asked while `error` is the
    // handled exception, as inside a Python `except` block; and the same on standard output.
    Object describe_error(Error& error) const;
    void show_error(Error& error) const;

    // Runs `step`; false when it ended in an ordinary error, which is then shown.
    template <typename Step>
    bool completed_or_shown(Step&& step) const {
        bool completed = false;
        on_ordinary_error(
            [&] {
                step();
                completed = true;
            },
            [&](Error& error) { show_error(error); });
        return completed;
    }

    Object make_sender() const;  // send_mail.send_mail()

  private:
    Object service(const Name& name) const;  // public.<name>, looked up now
    Handle module_;
    const Runtime& runtime_;
};

// What a sender object made by `send_mail.send_mail()` does.
namespace sender {

Object send_mail_to(Handle sender, Handle recipient, Handle title, Handle body);
void send_dingding(Handle sender, Handle text);

}  // namespace sender

}  // namespace host
