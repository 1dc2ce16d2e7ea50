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
    explicit Query(cpython::Object query) : query_(std::move(query)) {}

    Query where(std::string_view condition,
                cpython::Handle value) const;                // value bound to the one "?"
    cpython::Object get_field(cpython::Handle field) const;  // first matching row, or a false value
    // Adds a row. The host reports a failed insert by raising or by answering its error text
    // instead of a row id; either way the caller gets an error, so no run is lost unseen.
    void insert(cpython::Handle record) const;

  private:
    cpython::Object query_;
};

class Panel {
  public:
    // `module`: the plug-in module, alive for as long as this is used; `runtime` its services.
    Panel(cpython::Handle module, const Runtime& runtime) : module_(module), runtime_(runtime) {}

    // The host has both spellings, and the plug-in uses each where the host's own plug-ins do.
    cpython::Object ReadFile(cpython::Handle path) const;  // NOLINT(readability-identifier-naming)
    cpython::Object readFile(cpython::Handle path) const;  // NOLINT(readability-identifier-naming)
    void write_file(cpython::Handle path, cpython::Handle text) const;  // result not looked at
    bool wrote_file(cpython::Handle path,
                    cpython::Handle text) const;  // the same, and whether it says it wrote
    cpython::Object exec_shell(std::string_view command_line) const;
    cpython::Object md5(cpython::Handle text) const;
    cpython::Object return_msg(bool status, std::string_view message) const;
    cpython::Object http_post(std::string_view url, cpython::Handle data, int timeout) const;
    cpython::Object format_date() const;
    cpython::Object to_size()
        const;  // public.to_size itself, for a report that asks it twice per row
    Query table(std::string_view name) const;

    // The host's description of `error` (public.get_error_info), asked while `error` is the
    // handled exception, as inside a Python `except` block; and the same on standard output.
    cpython::Object describe_error(cpython::Error& error) const;
    void show_error(cpython::Error& error) const;

    // Runs `step`; false when it ended in an ordinary error, which is then shown.
    template <typename Step>
    bool completed_or_shown(Step&& step) const {
        bool completed = false;
        cpython::on_ordinary_error(
            [&] {
                step();
                completed = true;
            },
            [&](cpython::Error& error) { show_error(error); });
        return completed;
    }

    cpython::Object make_sender() const;  // send_mail.send_mail()

  private:
    cpython::Object service(const cpython::Name& name) const;  // public.<name>, looked up now
    cpython::Handle module_;
    const Runtime& runtime_;
};

// What a sender object made by `send_mail.send_mail()` does.
namespace sender {

cpython::Object send_mail_to(cpython::Handle sender, cpython::Handle recipient,
                             cpython::Handle title, cpython::Handle body);
void send_dingding(cpython::Handle sender, cpython::Handle text);

}  // namespace sender

}  // namespace host
