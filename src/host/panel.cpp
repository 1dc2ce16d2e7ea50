#include "host/panel.hpp"

#include "host/values.hpp"

namespace host {

namespace {

// The plug-in module's attributes that hold the host panel's modules, and their services.
constinit cpython::Name public_module{"public"}, send_mail_module{"send_mail"};
constinit cpython::Name ReadFile_name{"ReadFile"}, readFile_name{"readFile"},
    writeFile{"writeFile"}, ExecShell{"ExecShell"}, md5_name{"md5"}, returnMsg{"returnMsg"},
    httpPost{"httpPost"}, format_date_name{"format_date"}, to_size_name{"to_size"}, M{"M"},
    get_error_info{"get_error_info"}, send_mail_name{"send_mail"};
constinit cpython::Name where{"where"}, getField{"getField"}, insert_name{"insert"};
constinit cpython::Name qq_smtp_send{"qq_smtp_send"}, dingding_send{"dingding_send"},
    title_key{"title"}, body_key{"body"};

}  // namespace

Query Query::where(std::string_view condition, cpython::Handle value) const {
    return Query(cpython::call_method(query_, host::where, cpython::text(condition), value));
}

cpython::Object Query::get_field(cpython::Handle field) const {
    return cpython::call_method(query_, getField, field);
}

void Query::insert(cpython::Handle record) const {
    cpython::Object result = cpython::call_method(query_, insert_name, record);
    if (PyUnicode_Check(result.ptr())) {
        PyErr_SetObject(PyExc_RuntimeError, result.ptr());
        cpython::raise_fetched();
    }
}

cpython::Object Panel::service(const cpython::Name& name) const {
    return cpython::attr(cpython::attr(module_, public_module), name);
}

cpython::Object Panel::ReadFile(cpython::Handle path) const {
    return cpython::call(service(ReadFile_name), path);
}

cpython::Object Panel::readFile(cpython::Handle path) const {
    return cpython::call(service(readFile_name), path);
}

void Panel::write_file(cpython::Handle path, cpython::Handle content) const {
    cpython::call(service(writeFile), path, content);
}

bool Panel::wrote_file(cpython::Handle path, cpython::Handle content) const {
    return cpython::is_truthy(cpython::call(service(writeFile), path, content));
}

cpython::Object Panel::exec_shell(std::string_view command_line) const {
    return cpython::call(service(ExecShell), cpython::text(command_line));
}

cpython::Object Panel::md5(cpython::Handle content) const {
    return cpython::call(service(md5_name), content);
}

cpython::Object Panel::return_msg(bool status, std::string_view message) const {
    return cpython::call(service(returnMsg), cpython::boolean(status), cpython::text(message));
}

cpython::Object Panel::http_post(std::string_view url, cpython::Handle data, int timeout) const {
    return cpython::call(service(httpPost), cpython::text(url), data, cpython::integer(timeout));
}

cpython::Object Panel::format_date() const { return cpython::call(service(format_date_name)); }

cpython::Object Panel::to_size() const { return service(to_size_name); }

Query Panel::table(std::string_view name) const {
    return Query(cpython::call(service(M), cpython::text(name)));
}

cpython::Object Panel::describe_error(cpython::Error& error) const {
    // Looked up before the scope opens: only the call itself runs "inside the except block".
    cpython::Object describe = service(get_error_info);
    HandledErrorScope handling(error);
    return cpython::call(describe);
}

void Panel::show_error(cpython::Error& error) const { runtime_.print_line(describe_error(error)); }

cpython::Object Panel::make_sender() const {
    return cpython::call_method(cpython::attr(module_, send_mail_module), send_mail_name);
}

namespace sender {

cpython::Object send_mail_to(cpython::Handle sender, cpython::Handle recipient,
                             cpython::Handle title, cpython::Handle body) {
    cpython::Object keywords =
        cpython::checked(PyTuple_Pack(2, title_key.handle().ptr(), body_key.handle().ptr()));
    PyObject* arguments[] = {nullptr, recipient.ptr(), title.ptr(), body.ptr()};
    return cpython::call_with(cpython::attr(sender, qq_smtp_send), arguments + 1, 3, keywords);
}

void send_dingding(cpython::Handle sender, cpython::Handle content) {
    cpython::call_method(sender, dingding_send, content);
}

}  // namespace sender

}  // namespace host
