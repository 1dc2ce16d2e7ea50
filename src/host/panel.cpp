#include "host/panel.hpp"

#include "host/runtime.hpp"

namespace host {

namespace {

py::object public_service(const char* name) { return plugin_attr("public").attr(name); }

}  // namespace

Query Query::where(std::string_view condition, py::handle value) const {
    return Query(query_.attr("where")(py::str(condition), value));
}

py::object Query::get_field(py::handle field) const { return query_.attr("getField")(field); }

void Query::insert(py::handle record) const {
    py::object result = query_.attr("insert")(record);
    if (PyUnicode_Check(result.ptr())) {
        PyErr_SetObject(PyExc_RuntimeError, result.ptr());
        throw py::error_already_set();
    }
}

namespace panel {

py::object ReadFile(py::handle path) { return public_service("ReadFile")(path); }

py::object readFile(py::handle path) { return public_service("readFile")(path); }

void write_file(py::handle path, py::handle text) { public_service("writeFile")(path, text); }

py::object exec_shell(std::string_view command_line) {
    return public_service("ExecShell")(py::str(command_line));
}

py::object md5(py::handle text) { return public_service("md5")(text); }

py::object return_msg(bool status, std::string_view message) {
    return public_service("returnMsg")(py::bool_(status), py::str(message));
}

py::object http_post(std::string_view url, py::handle data, int timeout) {
    return public_service("httpPost")(py::str(url), data, py::int_(timeout));
}

py::object format_date() { return public_service("format_date")(); }

SizeFormatter::SizeFormatter() : to_size_(public_service("to_size")) {}

py::object SizeFormatter::operator()(py::handle bytes) const {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* text = PyObject_CallOneArg(to_size_.ptr(), bytes.ptr());
#else
    PyObject* text = PyObject_CallFunctionObjArgs(to_size_.ptr(), bytes.ptr(), nullptr);
#endif
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

Query table(std::string_view name) { return Query(public_service("M")(py::str(name))); }

py::object describe_error(const py::error_already_set& error) {
    // Looked up before the scope opens: only the call itself runs "inside the except block".
    auto get_error_info = public_service("get_error_info");
    HandledErrorScope handling(error);
    return get_error_info();
}

void show_error(const py::error_already_set& error) { print_line(describe_error(error)); }

}  // namespace panel

namespace sender {

py::object make() { return plugin_attr("send_mail").attr("send_mail")(); }

py::object send_mail_to(py::handle sender, py::handle recipient, py::handle title,
                        py::handle body) {
    using namespace py::literals;
    return sender.attr("qq_smtp_send")(recipient, "title"_a = title, "body"_a = body);
}

void send_dingding(py::handle sender, py::handle text) { sender.attr("dingding_send")(text); }

}  // namespace sender

}  // namespace host
