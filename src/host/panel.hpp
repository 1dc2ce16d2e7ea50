// The host panel's services as the plug-in uses them: the helper library `public` with its
// database queries, and the sender object made by the sender module `send_mail`.
//
// `public` and `send_mail` are read from the plug-in module's attributes on every use, so a host
// that replaces them is seen at once (a report's SizeFormatter alone holds `to_size` for the
// report it writes). Arguments go positional or named exactly as the host panel expects them.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

#include "host/errors.hpp"

namespace host {

namespace py = pybind11;

// A query on one table, as made by `public.M(table)`.
class Query {
  public:
    explicit Query(py::object query) : query_(std::move(query)) {}

    Query where(std::string_view condition, py::handle value) const;  // value bound to the one "?"
    py::object get_field(py::handle field) const;  // first matching row, or a false value
    // Adds a row. The host reports a failed insert by raising or by answering its error text
    // instead of a row id; either way the caller gets an error, so no run is lost unseen.
    void insert(py::handle record) const;

  private:
    py::object query_;
};

namespace panel {

// The host has both spellings, and the plug-in uses each where the host's own plug-ins do.
py::object ReadFile(py::handle path);               // NOLINT(readability-identifier-naming)
py::object readFile(py::handle path);               // NOLINT(readability-identifier-naming)
void write_file(py::handle path, py::handle text);  // result not looked at
py::object exec_shell(std::string_view command_line);
py::object md5(py::handle text);
py::object return_msg(bool status, std::string_view message);
py::object http_post(std::string_view url, py::handle data, int timeout);
py::object format_date();
// public.to_size, looked up once for a report that asks for it twice per row.
class SizeFormatter {
  public:
    SizeFormatter();
    py::object operator()(py::handle bytes) const;

  private:
    py::object to_size_;
};
Query table(std::string_view name);

// The host's description of `error` (public.get_error_info), asked while `error` is the handled
// exception.
py::object describe_error(const py::error_already_set& error);

// The host's description of `error` on standard output, asked while `error` is the handled
// exception, as inside a Python `except` block.
void show_error(const py::error_already_set& error);

}  // namespace panel

// Runs `step`; false when it ended in an ordinary error, which is then shown.
template <typename Step>
bool completed_or_shown(Step&& step) {
    bool completed = false;
    on_ordinary_error(
        [&] {
            step();
            completed = true;
        },
        [](const py::error_already_set& error) { panel::show_error(error); });
    return completed;
}

namespace sender {

py::object make();  // send_mail.send_mail()
py::object send_mail_to(py::handle sender, py::handle recipient, py::handle title, py::handle body);
void send_dingding(py::handle sender, py::handle text);

}  // namespace sender

}  // namespace host
