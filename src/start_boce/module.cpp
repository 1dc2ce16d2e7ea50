// The binding: loads the module on its host panel and registers the class `start_boce`.
//
// The class is an ordinary Python class (made by `type`), so that it behaves as the host expects
// of a plug-in class: subclassable, with instance attributes, private names mangled as Python
// mangles them. Each operation is a built-in function whose `__self__` is the module that defined
// the class, made an instance method of the class: every call receives its module as an argument
// of its own, as a Python method reads the globals of its own module, on every thread and every
// greenlet, and the collector sees every reference (class -> function -> module -> class), so a
// module that nothing uses any more is freed with its class.
#include <cstring>
#include <string>
#include <utility>

#include "host/errors.hpp"
#include "host/host.hpp"
#include "host/stack.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"

using namespace start_boce;

namespace {

// ---- arguments ------------------------------------------------------------------------------

// An operation's parameters as Python states them: `self`, then its own; the last one may have
// a default.
struct Parameters {
    const char* operation;
    const char* names[5];
    Py_ssize_t count;
    const host::Name* last_default = nullptr;
};

// How Python names a method in the errors of a wrong call: by its qualified name since 3.10.
std::string called(const Parameters& parameters) {
#if PY_VERSION_HEX >= 0x030A0000
    return std::string(class_name) + "." + parameters.operation + "()";
#else
    return std::string(parameters.operation) + "()";
#endif
}

void bind_keyword(const Parameters& parameters, PyObject* keyword, PyObject* value,
                  PyObject** bound) {
    for (Py_ssize_t i = 0; i < parameters.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameters.names[i]) != 0) continue;
        if (bound[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         called(parameters).c_str(), parameters.names[i]);
            host::raise_fetched();
        }
        bound[i] = value;
        return;
    }
#if PY_VERSION_HEX >= 0x030D0000
    // Since 3.13 Python suggests the parameter a misspelt keyword may mean, as its traceback
    // module does for names.
    static constinit host::Name suggestions{"_suggestions"}, suggest{"_generate_suggestions"};
    Object candidates = host::new_list();
    for (Py_ssize_t i = 0; i < parameters.count; ++i) {
        host::append(candidates, host::text(parameters.names[i]));
    }
    const Object meant =
        host::call_method(host::loaded_module(suggestions), suggest, candidates, keyword);
    if (PyUnicode_Check(meant.ptr())) {
        PyErr_Format(PyExc_TypeError,
                     "%s got an unexpected keyword argument '%U'. Did you mean '%U'?",
                     called(parameters).c_str(), keyword, meant.ptr());
        host::raise_fetched();
    }
#endif
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                 called(parameters).c_str(), keyword);
    host::raise_fetched();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the required parameters left unbound, as Python
// lists them.
std::string missing_names(const Parameters& parameters, PyObject* const* bound, Py_ssize_t required,
                          Py_ssize_t missing) {
    std::string names;
    Py_ssize_t written = 0;
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (bound[i] != nullptr) continue;
        if (written > 0) names += missing > 2 ? ", " : " ";
        if (written > 0 && written + 1 == missing) names += "and ";
        names += std::string("'") + parameters.names[i] + "'";
        ++written;
    }
    return names;
}

[[noreturn]] void raise_too_many(const Parameters& parameters, Py_ssize_t required,
                                 Py_ssize_t given) {
    if (required == parameters.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd were given",
                     called(parameters).c_str(), parameters.count, parameters.count == 1 ? "" : "s",
                     given);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zd to %zd positional arguments but %zd were given",
                     called(parameters).c_str(), required, parameters.count, given);
    }
    host::raise_fetched();
}

// Binds the call's arguments (`self` first) to `bound`, as Python binds a method's, the default
// included. Raises the TypeError Python raises for a wrong call.
void bind(const Parameters& parameters, PyObject* const* arguments, Py_ssize_t given,
          PyObject* keyword_names, PyObject** bound) {
    // In Python's order: the positional ones that fit, the keywords, then how many were given.
    const Py_ssize_t required = parameters.count - (parameters.last_default != nullptr);
    for (Py_ssize_t i = 0; i < given && i < parameters.count; ++i) bound[i] = arguments[i];
    const Py_ssize_t named = keyword_names != nullptr ? PyTuple_GET_SIZE(keyword_names) : 0;
    for (Py_ssize_t k = 0; k < named; ++k) {
        bind_keyword(parameters, PyTuple_GET_ITEM(keyword_names, k), arguments[given + k], bound);
    }
    if (given > parameters.count) raise_too_many(parameters, required, given);
    if (bound[parameters.count - 1] == nullptr && parameters.last_default != nullptr) {
        bound[parameters.count - 1] = parameters.last_default->handle().ptr();
    }
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < required; ++i) missing += bound[i] == nullptr;
    if (missing == 0) return;
    const std::string names = missing_names(parameters, bound, required, missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s",
                 called(parameters).c_str(), missing, missing == 1 ? "" : "s", names.c_str());
    host::raise_fetched();
}

// ---- operations -----------------------------------------------------------------------------

template <typename... Rest, std::size_t... index>
Object invoke(Object (*operation)(const Host&, Handle, Rest...), const Host& host,
              PyObject* const* bound, std::index_sequence<index...>) {
    return operation(host, bound[0], Handle(bound[index + 1])...);
}

// Whatever leaves an operation leaves as a Python exception; nothing is kept between calls.
template <auto operation, const Parameters& parameters>
PyObject* call_operation(PyObject* module, PyObject* const* arguments, Py_ssize_t given,
                         PyObject* keyword_names) noexcept {
    try {
        PyObject* bound[5] = {};
        bind(parameters, arguments, given, keyword_names, bound);
        host::check_stack_left(parameters.operation);
        const Host host(module);
        return invoke(operation, host, bound, std::make_index_sequence<parameters.count - 1>())
            .release();
    } catch (...) {
        host::set_error_from_current_exception();
        return nullptr;
    }
}

constexpr Parameters self_only(const char* operation) { return {operation, {"self"}, 1}; }

constexpr Parameters get_user_mail_parameters = self_only("get_user_mail");
constexpr Parameters get_dingding_parameters = self_only("get_dingding");
constexpr Parameters get_settings_parameters = self_only("get_settings");
constexpr Parameters get_mac_address_parameters = self_only("get_mac_address");
constexpr Parameters get_cpuname_parameters = self_only("get_cpuname");
constexpr Parameters get_hostname_parameters = self_only("get_hostname");
constexpr Parameters create_serverid_parameters = {"create_serverid", {"self", "get"}, 2};
constexpr Parameters send_task_parameters = {"_send_task", {"self", "id"}, 2};
constexpr Parameters send_mail_parameters = {
    "send_mail", {"self", "data", "num", "id", "send"}, 5, &names::mail_channel};
constexpr Parameters get_state_parameters = {"get_state", {"self", "data", "id"}, 3};
constexpr Parameters start_parameters = {"start", {"self", "id"}, 2};
constexpr Parameters init_parameters = self_only("__init__");

// The constructor never fails: only a request to stop, or a wrong call, leaves it.
PyObject* init_object(PyObject* module, PyObject* const* arguments, Py_ssize_t given,
                      PyObject* keyword_names) noexcept {
    PyObject* bound[1] = {};
    try {
        bind(init_parameters, arguments, given, keyword_names, bound);
        host::check_stack_left(init_parameters.operation);
    } catch (...) {
        host::set_error_from_current_exception();
        return nullptr;
    }
    try {
        const Host host(module);
        construct(host, bound[0]);
    } catch (...) {
        host::set_error_from_current_exception();
    }
    // An ordinary error that escaped the constructor's own handling (running out of memory while
    // handling another) ends it silently too; it is let go of outside the catch block, since
    // what it held may run Python code as it goes.
    if (PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

// The runtime calls a METH_FASTCALL | METH_KEYWORDS function with four arguments; the table's
// type has two.
template <typename Function>
PyCFunction as_table_entry(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int calling_convention = METH_FASTCALL | METH_KEYWORDS;

// In the order the class declares them, each with what `help()` shows of it.
PyMethodDef operations[] = {
    {"__init__", as_table_entry(init_object), calling_convention,
     "__init__(self)\n\nMakes the sender object and loads, creates or repairs the recipient "
     "list; never fails."},
    {"get_user_mail", as_table_entry(call_operation<get_user_mail, get_user_mail_parameters>),
     calling_convention, "get_user_mail(self)\n\nFalse, or the decoded mail settings."},
    {"get_dingding", as_table_entry(call_operation<get_dingding, get_dingding_parameters>),
     calling_convention, "get_dingding(self)\n\nFalse, or the decoded DingTalk settings."},
    {"get_settings", as_table_entry(call_operation<get_settings, get_settings_parameters>),
     calling_convention,
     "get_settings(self)\n\nThe notification settings: {'user_mail': {'user_name', "
     "'mail_list', 'info'}, 'dingding': {'dingding', 'info'}}."},
    {"get_mac_address", as_table_entry(call_operation<get_mac_address, get_mac_address_parameters>),
     calling_convention,
     "get_mac_address(self)\n\nThe MAC address text: six pairs of hex digits joined by ':'."},
    {"get_cpuname", as_table_entry(call_operation<get_cpuname, get_cpuname_parameters>),
     calling_convention,
     "get_cpuname(self)\n\nThe processor's model name, as /proc/cpuinfo gives it."},
    {"get_hostname", as_table_entry(call_operation<get_hostname, get_hostname_parameters>),
     calling_convention, "get_hostname(self)\n\nThe machine's fully qualified host name."},
    {"create_serverid", as_table_entry(call_operation<create_serverid, create_serverid_parameters>),
     calling_convention,
     "create_serverid(self, get)\n\nThe account record with `serverid`, made and stored the "
     "first time; a status record when no user is logged in."},
    {"_send_task", as_table_entry(call_operation<request_probe, send_task_parameters>),
     calling_convention,
     "_send_task(self, id)\n\nAsks the dispatch center to probe the task's URL: the decoded "
     "answer, or a status record."},
    {"send_mail", as_table_entry(call_operation<deliver_report, send_mail_parameters>),
     calling_convention,
     "send_mail(self, data, num, id, send='mail')\n\nBuilds the anomaly report of a run and "
     "sends it by mail (to the recipient list, or the mailbox of the mail settings) or "
     "DingTalk."},
    {"get_state", as_table_entry(call_operation<record_run, get_state_parameters>),
     calling_convention,
     "get_state(self, data, id)\n\nCounts the anomalous nodes; above two, runs the report step "
     "and answers 0, else 1."},
    {"start", as_table_entry(call_operation<start, start_parameters>), calling_convention,
     "start(self, id)\n\nOne probe run of a task: probed, counted, reported on, stored; the "
     "nodes slowest first, or the status record that ended the run."},
};

// ---- the class and the module ------------------------------------------------------------------

// `definition` as a method of the class: a built-in function of `module`, made an instance
// method so that the object comes first among its arguments.
Object method_of(PyMethodDef& definition, Handle module) {
    Object function = host::checked(PyCFunction_NewEx(&definition, module.ptr(), nullptr));
    return host::checked(PyInstanceMethod_New(function.ptr()));
}

Object define_class(Handle module) {
    static constinit host::Name module_key{"__module__"}, qualname_key{"__qualname__"},
        name_attr{"__name__"};
    Object body = host::new_dict();
    host::set_item(body, module_key, host::attr(module, name_attr));
    host::set_item(body, qualname_key, host::text(class_name));
    host::set_item(body, mail_config_path_attr, host::text(mail_config_path));
    host::set_item(body, mail_list_path_attr, host::text(mail_list_path));
    host::set_item(body, dingding_config_path_attr, host::text(dingding_config_path));
    for (PyMethodDef& definition : operations) {
        host::set_item(body, host::text(definition.ml_name), method_of(definition, module));
    }
    Object bases = host::checked(PyTuple_New(0));
    return host::call(reinterpret_cast<PyObject*>(&PyType_Type), host::text(class_name), bases,
                      body);
}

constexpr const char* sub_interpreter_refused =
    "start_boce can only be loaded in the main interpreter, not in a sub-interpreter";

// The load: the runtime's services, the panel's working directory and search path, the host
// modules, then the class.
void load(Handle module) {
    if (!host::in_main_interpreter()) host::raise(PyExc_ImportError, sub_interpreter_refused);
    const Host host(module);
    for (const char* name : {"sys", "os"}) {
        host::set_attr(module, host::text(name), host::import_module(name));
    }
    // The host panel's modules live in its `class/` directory; the relative entry resolves
    // against the panel root, which stays the working directory of the whole process.
    host.runtime.change_directory(panel_root);
    host.runtime.append_search_path(panel_class_entry);
    for (const char* name : {"public", "json", "time", "send_mail"}) {
        host::set_attr(module, host::text(name), host::import_module(name));
    }
    host::set_attr(module, host::text("__version__"), host::text(START_BOCE_VERSION));
    host::set_attr(module, host::text("DISPATCH_URL"), host::text(START_BOCE_DISPATCH_URL));
    host::set_attr(module, host::text(class_name), define_class(module));
}

// The module's execution step: a load step's error reaches the importer as itself (a
// KeyboardInterrupt stays a KeyboardInterrupt).
int exec_module(PyObject* module) noexcept {
    try {
        load(module);
        return 0;
    } catch (...) {
        host::set_error_from_current_exception();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)},
                                   {0, nullptr}};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT,
                                 "start_boce",
                                 "Probe-task plug-in of the host panel.",
                                 0,
                                 nullptr,
                                 module_slots,
                                 nullptr,
                                 nullptr,
                                 nullptr};

#define START_BOCE_STRING(x) #x
#define START_BOCE_VERSION_TEXT(major, minor) START_BOCE_STRING(major) "." START_BOCE_STRING(minor)

// The interpreter the module was built for runs it: another one's objects have another layout.
bool runs_on_its_own_python() {
    const char* built_for = START_BOCE_VERSION_TEXT(PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    const std::size_t length = std::strlen(built_for);
    if (std::strncmp(running, built_for, length) == 0 &&
        !(running[length] >= '0' && running[length] <= '9')) {
        return true;
    }
    PyErr_Format(PyExc_ImportError,
                 "start_boce was built for Python %s, but this interpreter is %s", built_for,
                 running);
    return false;
}

}  // namespace

// The module's one entry. The interpreter is checked here and again by the load: since 3.13 the
// runtime calls the entry in the main interpreter and only executes the module in a
// sub-interpreter.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_start_boce() {
    host::keep_thread_data_static();
    if (!host::in_main_interpreter()) {
        PyErr_SetString(PyExc_ImportError, sub_interpreter_refused);
        return nullptr;
    }
    if (!runs_on_its_own_python()) return nullptr;
    return PyModuleDef_Init(&module_definition);
}
