#include "host/panel.hpp"

#include "host/values.hpp"

namespace host {

namespace {

// The plug-in module's attributes that hold the host panel's modules, and their services.
constinit Name public_module{"public"}, send_mail_module{"send_mail"};
constinit Name ReadFile_name{"ReadFile"}, readFile_name{"readFile"}, writeFile{"writeFile"},
    ExecShell{"ExecShell"}, md5_name{"md5"}, returnMsg{"returnMsg"}, httpPost{"httpPost"},
    format_date_name{"format_date"}, to_size_name{"to_size"}, M{"M"},
    get_error_info{"get_error_info"}, send_mail_name{"send_mail"};
constinit Name where{"where"}, getField{"getField"}, insert_name{"insert"};
constinit Name qq_smtp_send{"qq_smtp_send"}, dingding_send{"dingding_send"}, title_key{"title"},
    body_key{"body"};

}  // namespace

Query Query::where(std::string_view condition, Handle value) const {
    return Query(call_method(query_, host::where, text(condition), value));
}

Object Query::get_field(Handle field) const { return call_method(query_, getField, field); }

void Query::insert(Handle record) const {
    Object result = call_method(query_, insert_name, record);
    if (PyUnicode_Check(result.ptr())) {
        PyErr_SetObject(PyExc_RuntimeError, result.ptr());
        raise_fetched();
    }
}

Object Panel::service(const Name& name) const { return attr(attr(module_, public_module), name); }

Object Panel::ReadFile(Handle path) const { return call(service(ReadFile_name), path); }

Object Panel::readFile(Handle path) const { return call(service(readFile_name), path); }

void Panel::write_file(Handle path, Handle content) const {
    call(service(writeFile), path, content);
}

bool Panel::wrote_file(Handle path, Handle content) const {
    return is_truthy(call(service(writeFile), path, content));
}

Object Panel::exec_shell(std::string_view command_line) const {
    return call(service(ExecShell), text(command_line));
}

Object Panel::md5(Handle content) const { return call(service(md5_name), content); }

Object Panel::return_msg(bool status, std::string_view message) const {
    return call(service(returnMsg), boolean(status), text(message));
}

Object Panel::http_post(std::string_view url, Handle data, int timeout) const {
    return call(service(httpPost), text(url), data, integer(timeout));
}

Object Panel::format_date() const { return call(service(format_date_name)); }

Object Panel::to_size() const { return service(to_size_name); }

Query Panel::table(std::string_view name) const { return Query(call(service(M), text(name))); }

Object Panel::describe_error(Error& error) const {
    // Looked up before the scope opens: only the call itself runs "inside the except block".
    Object describe = service(get_error_info);
    HandledErrorScope handling(error);
    return call(describe);
}

void Panel::show_error(Error& error) const { runtime_.print_line(describe_error(error)); }

Object Panel::make_sender() const {
    return call_method(attr(module_, send_mail_module), send_mail_name);
}

namespace sender {

Object send_mail_to(Handle sender, Handle recipient, Handle title, Handle body) {
    Object keywords = checked(PyTuple_Pack(2, title_key.handle().ptr(), body_key.handle().ptr()));
    PyObject* arguments[] = {nullptr, recipient.ptr(), title.ptr(), body.ptr()};
    return call_with(attr(sender, qq_smtp_send), arguments + 1, 3, keywords);
}

void send_dingding(Handle sender, Handle content) { call_method(sender, dingding_send, content); }

}  // namespace sender

}  // namespace host
