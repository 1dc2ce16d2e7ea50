// The binding: loads the module on its host panel and registers the class `start_boce`.
//
// The class is an ordinary Python class (made by `type`), so that it behaves as the host expects
// of a plug-in class: subclassable, with instance attributes, private names mangled as Python
// mangles them. Each operation points at a C++ function.
#include <pybind11/pybind11.h>

#include "host/errors.hpp"
#include "host/runtime.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"

namespace py = pybind11;
using namespace start_boce;

namespace {

// The operation as a method of the class that `module` defines: it reads that module's
// attributes, whatever later imports do, and its failed allocations leave as MemoryError.
template <typename Result, typename... Args, typename... Extra>
void add_operation(py::object& cls, const py::module_& module, const char* name,
                   Result (*operation)(Args...), const Extra&... extra) {
    auto in_module = [module = py::object(module), operation](Args... args) -> Result {
        host::ModuleScope scope(module);
        return host::with_runtime_errors([&]() -> Result { return operation(args...); });
    };
    cls.attr(name) =
        py::cpp_function(std::move(in_module), py::name(name), py::is_method(cls), extra...);
}

// `__init__` is a plain runtime function, not a pybind11 one: pybind11 takes any function named
// `__init__` for the constructor of a class it registered itself, which this class is not.
// The function's `self` is the module that defines the class.
PyObject* init_object(PyObject* module, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given != 1 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        if (given == 0) {
            PyErr_SetString(PyExc_TypeError,
                            "start_boce.__init__() missing 1 required "
                            "positional argument: 'self'");
        } else if (given != 1) {
            PyErr_Format(PyExc_TypeError,
                         "start_boce.__init__() takes 1 positional argument but %zd were given",
                         given);
        } else {
            PyErr_SetString(PyExc_TypeError,
                            "start_boce.__init__() got an unexpected keyword argument");
        }
        return nullptr;
    }
    try {
        host::ModuleScope scope(module);
        construct(py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, 0)));
    } catch (...) {
        // Only a request to stop leaves the constructor; an ordinary error that escaped its own
        // handling (running out of memory while handling another) ends it silently too.
        host::set_error_from_current_exception();
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

// The runtime calls a METH_KEYWORDS function with three arguments; the table's type has two.
PyMethodDef init_definition = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_object)),
    METH_VARARGS | METH_KEYWORDS,
    "Makes the sender object and loads, creates or repairs the recipient list; never fails."};

py::object init_method(const py::module_& module) {
    auto function = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(&init_definition, module.ptr(), nullptr));
    if (!function) throw py::error_already_set();
    auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!method) throw py::error_already_set();
    return method;
}

py::object define_class(py::module_& module) {
    py::dict body;
    body["__module__"] = module.attr("__name__");
    body["__qualname__"] = class_name;
    body[mail_config_attr] = mail_config_path;
    body[mail_list_data_attr] = mail_list_data_path;
    body[dingding_config_attr] = dingding_config_path;
    auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(class_name, py::tuple(), body);

    // In the order the class declares them, each with what `help()` shows of it.
    cls.attr("__init__") = init_method(module);
    add_operation(cls, module, operation_name::get_user_mail, &get_user_mail,
                  py::doc("False, or the decoded mail settings."));
    add_operation(cls, module, operation_name::get_dingding, &get_dingding,
                  py::doc("False, or the decoded DingTalk settings."));
    add_operation(cls, module, operation_name::get_settings, &get_settings,
                  py::doc("The notification settings: {'user_mail': {'user_name', 'mail_list', "
                          "'info'}, 'dingding': {'dingding', 'info'}}."));
    add_operation(cls, module, operation_name::get_mac_address, &get_mac_address,
                  py::doc("The MAC address text: six pairs of hex digits joined by ':'."));
    add_operation(cls, module, operation_name::get_cpuname, &get_cpuname,
                  py::doc("The processor's model name, as /proc/cpuinfo gives it."));
    add_operation(cls, module, operation_name::get_hostname, &get_hostname,
                  py::doc("The machine's fully qualified host name."));
    add_operation(cls, module, operation_name::create_serverid, &create_serverid, py::arg("get"),
                  py::doc("The account record with `serverid`, made and stored the first time; "
                          "a status record when no user is logged in."));
    add_operation(cls, module, operation_name::send_task, &send_task, py::arg("id"),
                  py::doc("Asks the dispatch center to probe the task's URL: the decoded answer, "
                          "or a status record."));
    add_operation(cls, module, operation_name::send_mail, &send_mail, py::arg("data"),
                  py::arg("num"), py::arg("id"), py::arg("send") = "mail",
                  py::doc("Builds the anomaly report of a run and sends it by mail (to the "
                          "recipient list, or the mailbox of the mail settings) or DingTalk."));
    add_operation(cls, module, operation_name::get_state, &get_state, py::arg("data"),
                  py::arg("id"),
                  py::doc("Counts the anomalous nodes; above two, runs the report step and "
                          "answers 0, else 1."));
    add_operation(cls, module, operation_name::start, &start, py::arg("id"),
                  py::doc("One probe run of a task: probed, counted, reported on, stored; the "
                          "nodes slowest first, or the status record that ended the run."));
    return cls;
}

}  // namespace

constexpr const char* sub_interpreter_refused =
    "start_boce can only be loaded in the main interpreter, not in a sub-interpreter";

namespace {

// The load: the runtime's services, the panel's working directory and search path, the host
// modules, then the class.
void load(py::module_ module) {
    if (!host::in_main_interpreter()) throw py::import_error(sub_interpreter_refused);
    host::ModuleScope scope(module);
    module.attr("sys") = py::module_::import("sys");
    module.attr("os") = py::module_::import("os");
    // The host panel's modules live in its `class/` directory; the relative entry resolves
    // against the panel root, which stays the working directory of the whole process.
    host::change_directory(panel_root);
    host::append_search_path(panel_class_entry);
    for (const char* name : {"public", "json", "time", "send_mail"}) {
        module.attr(name) = py::module_::import(name);
    }
    module.attr("__version__") = START_BOCE_VERSION;
    module.attr("DISPATCH_URL") = START_BOCE_DISPATCH_URL;
    module.attr(class_name) = define_class(module);
}

// The module's execution step. A load step's error reaches the importer as itself (a
// KeyboardInterrupt stays a KeyboardInterrupt), which pybind11's own step does not do: it wraps
// every error into ImportError("initialization failed").
int exec_module(PyObject* module) noexcept {
    try {
        load(py::reinterpret_borrow<py::module_>(module));
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

}  // namespace

// The module's one entry. The interpreter is checked before pybind11 prepares its own state,
// which takes the main interpreter's GIL and in a sub-interpreter would wait forever. (Since
// 3.13 the runtime calls the entry in the main interpreter and only executes the module in the
// sub-interpreter, so the load checks again.)
extern "C" PYBIND11_EXPORT PyObject* PyInit_start_boce() {
    host::keep_thread_data_static();
    if (!host::in_main_interpreter()) {
        PyErr_SetString(PyExc_ImportError, sub_interpreter_refused);
        return nullptr;
    }
    if (!host::prepare_pybind11()) return nullptr;
    return PyModuleDef_Init(&module_definition);
}
