// The binding: loads the module on its host panel and registers the class `start_boce`.
//
// The class is an ordinary Python class (made by `type`), so that it behaves as the host expects
// of a plug-in class: subclassable, with instance attributes, private names mangled as Python
// mangles them. Each operation is a built-in function whose `__self__` is the module that defined
// the class, made an instance method of the class: every call receives its module as an argument
// of its own, as a Python method reads the globals of its own module, on every thread and every
// greenlet, and the collector sees every reference (class -> function -> module -> class), so a
// module that nothing uses any more is freed with its class.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "host/errors.hpp"
#include "host/host.hpp"
#include "host/stack.hpp"
#include "start_boce/names.hpp"
#include "start_boce/operations.hpp"
#include "start_boce/plugin.hpp"

using namespace start_boce;

namespace {

// ---- arguments ------------------------------------------------------------------------------

// The position of the parameter named `keyword`, or -1. A name that is no text names none
// (CPython 3.7 and 3.8 pass any key of a `**` mapping on).
Py_ssize_t parameter_position(const Parameters& parameters, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) return -1;
    for (std::size_t i = 0; i < parameters.count(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameters.names[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// Binds the call's arguments (`self` first) to `bound` as Python binds a method's, the default
// included; false when they do not fit the parameters.
bool bind(const Parameters& parameters, Handle last_default, PyObject* const* arguments,
          Py_ssize_t given, PyObject* keyword_names, PyObject** bound) {
    const auto count = static_cast<Py_ssize_t>(parameters.count());
    if (given > count) return false;
    for (Py_ssize_t i = 0; i < given; ++i) bound[i] = arguments[i];
    const Py_ssize_t named = keyword_names != nullptr ? PyTuple_GET_SIZE(keyword_names) : 0;
    for (Py_ssize_t k = 0; k < named; ++k) {
        const Py_ssize_t position =
            parameter_position(parameters, PyTuple_GET_ITEM(keyword_names, k));
        if (position < 0 || bound[position] != nullptr) return false;
        bound[position] = arguments[given + k];
    }
    if (bound[count - 1] == nullptr) bound[count - 1] = last_default.ptr();
    return std::find(bound, bound + count, nullptr) == bound + count;
}

// The parameters as a Python `def` states them: "self, data, num, id, send='mail'".
template <typename Write>
constexpr void write_parameters(const Parameters& parameters, Write&& write) {
    for (std::size_t i = 0; i < parameters.count(); ++i) {
        if (i > 0) write(", ");
        write(parameters.names[i]);
    }
    if (parameters.last_default != nullptr) {
        write("='");
        write(parameters.last_default);
        write("'");
    }
}

// The operation as a Python method of the same signature, `def start(self, id): pass` named
// `start_boce.start`.
Object python_method(const char* name, const Parameters& parameters) {
    std::string source = std::string("def ") + name + "(";
    write_parameters(parameters, [&](const char* piece) { source += piece; });
    source += "): pass\n";
    const Object code =
        cpython::checked(Py_CompileString(source.c_str(), "<start_boce>", Py_file_input));
    const Object scope = cpython::new_dict();
    cpython::checked(cpython::calling(PyEval_EvalCode, code.ptr(), scope.ptr(), scope.ptr()));
    Object method = cpython::get_item(scope, cpython::text(name));
    static constinit cpython::Name qualname{"__qualname__"};
    cpython::set_attr(method, qualname, cpython::text(std::string(class_name) + "." + name));
    return method;
}

// A wrong call is refused by Python itself: the operation made a Python method of the same
// signature is called with the same arguments, and raises the TypeError Python raises. So the
// message is Python's own on every version, down to the suggestion for a misspelt keyword (3.13)
// and a keyword name that is no text (3.7, 3.8).
[[noreturn]] void refuse_wrong_call(const char* name, const Parameters& parameters,
                                    PyObject* const* arguments, Py_ssize_t given,
                                    PyObject* keyword_names) {
    const Py_ssize_t named = keyword_names != nullptr ? PyTuple_GET_SIZE(keyword_names) : 0;
    // A slot before the arguments, which the callee may borrow.
    std::vector<PyObject*> stack(1 + static_cast<std::size_t>(given + named));
    std::copy(arguments, arguments + given + named, stack.begin() + 1);
    cpython::call_with(python_method(name, parameters), stack.data() + 1, stack.size() - 1,
                       keyword_names);
    cpython::raise(PyExc_SystemError, "start_boce: a call refused here was accepted by Python");
}

// ---- operations -----------------------------------------------------------------------------

template <auto function, std::size_t... index>
Object invoke(const Host& host, PyObject* const* bound, std::index_sequence<index...>) {
    using Result = decltype(function(host, bound[0], Handle(bound[index + 1])...));
    if constexpr (std::is_void_v<Result>) {
        function(host, bound[0], Handle(bound[index + 1])...);
        return cpython::none();
    } else {
        return function(host, bound[0], Handle(bound[index + 1])...);
    }
}

// The runtime's entry of the operation in `row` of the table: binds its arguments, checks the C
// stack and runs it with the host services of `module`, the module that defined the class.
// Whatever leaves it leaves as a Python exception; nothing is kept between calls.
template <std::size_t row>
PyObject* call_operation(PyObject* module, PyObject* const* arguments, Py_ssize_t given,
                         PyObject* keyword_names) {
    static constexpr const auto& operation = std::get<row>(operations);
    static constexpr std::size_t count = operation.parameters.count();
    static constinit cpython::Name last_default{operation.parameters.last_default};
    PyObject* bound[max_parameters] = {};
    const bool bound_to_parameters = cpython::answered(
        [&] {
            const Handle default_value =
                operation.parameters.last_default != nullptr ? last_default.handle() : Handle();
            if (!bind(operation.parameters, default_value, arguments, given, keyword_names,
                      bound)) {
                refuse_wrong_call(operation.name, operation.parameters, arguments, given,
                                  keyword_names);
            }
            cpython::check_stack_left(operation.name);
            return true;
        },
        false);
    if (!bound_to_parameters) return nullptr;
    PyObject* result = cpython::answered(
        [&] {
            const Host host(module);
            return invoke<operation.function>(host, bound, std::make_index_sequence<count - 1>())
                .release();
        },
        static_cast<PyObject*>(nullptr));
    if constexpr (operation.never_fails) {
        // An ordinary error that escaped the operation's own handling (memory running out
        // while it handled another) is let go of here, outside any catch block, since what it
        // holds may run Python code as it goes.
        if (result == nullptr && PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
            result = cpython::none().release();
        }
    }
    return result;
}

// ---- signatures -----------------------------------------------------------------------------

// What `help()` shows of an operation, its signature first as CPython reads it for
// `__text_signature__`: "start($module, self, id)\n--\n\nOne probe run ...". `$module` is the
// function's own `__self__`, the module, which inspect leaves out.
template <typename Write>
constexpr void write_documentation(const char* name, const Parameters& parameters,
                                   const char* summary, Write&& write) {
    write(name);
    write("($module, ");
    write_parameters(parameters, write);
    write(")\n--\n\n");
    write(summary);
}

template <std::size_t row>
constexpr std::size_t documentation_size() {
    const auto& operation = std::get<row>(operations);
    std::size_t size = 0;
    write_documentation(operation.name, operation.parameters, operation.summary,
                        [&](const char* piece) { size += std::char_traits<char>::length(piece); });
    return size;
}

// Made when the module is compiled, and kept in its read-only data.
template <std::size_t row>
constexpr auto documentation = [] {
    const auto& operation = std::get<row>(operations);
    std::array<char, documentation_size<row>() + 1> text{};
    std::size_t end = 0;
    write_documentation(operation.name, operation.parameters, operation.summary,
                        [&](const char* piece) {
                            while (*piece != '\0') text[end++] = *piece++;
                        });
    return text;
}();

// The runtime calls a METH_FASTCALL | METH_KEYWORDS function with four arguments; the table's
// type has two.
template <typename Function>
PyCFunction as_table_entry(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <std::size_t... row>
auto method_definitions(std::index_sequence<row...>) {
    return std::array<PyMethodDef, sizeof...(row)>{
        PyMethodDef{std::get<row>(operations).name, as_table_entry(call_operation<row>),
                    METH_FASTCALL | METH_KEYWORDS, documentation<row>.data()}...};
}

// In the order the class declares them. The runtime keeps pointers into it for the life of the
// functions made from it.
auto method_table =
    method_definitions(std::make_index_sequence<std::tuple_size_v<decltype(operations)>>());

// ---- the class and the module ------------------------------------------------------------------

// `definition` as a method of the class: a built-in function of `module`, made an instance
// method so that the object comes first among its arguments.
Object method_of(PyMethodDef& definition, Handle module) {
    Object function = cpython::checked(PyCFunction_NewEx(&definition, module.ptr(), nullptr));
    return cpython::checked(PyInstanceMethod_New(function.ptr()));
}

Object define_class(Handle module) {
    static constinit cpython::Name module_key{"__module__"}, qualname_key{"__qualname__"},
        name_attr{"__name__"};
    Object body = cpython::new_dict();
    cpython::set_item(body, module_key, cpython::attr(module, name_attr));
    cpython::set_item(body, qualname_key, cpython::text(class_name));
    cpython::set_item(body, mail_config_path_attr, cpython::text(mail_config_path));
    cpython::set_item(body, mail_list_path_attr, cpython::text(mail_list_path));
    cpython::set_item(body, dingding_config_path_attr, cpython::text(dingding_config_path));
    for (PyMethodDef& definition : method_table) {
        cpython::set_item(body, cpython::text(definition.ml_name), method_of(definition, module));
    }
    Object bases = cpython::checked(PyTuple_New(0));
    return cpython::call(reinterpret_cast<PyObject*>(&PyType_Type), cpython::text(class_name),
                         bases, body);
}

constexpr const char* sub_interpreter_refused =
    "start_boce can only be loaded in the main interpreter, not in a sub-interpreter";

// The load: the runtime's services, the panel's working directory and search path, the host
// modules, then the class.
void load(Handle module) {
    if (!host::in_main_interpreter()) cpython::raise(PyExc_ImportError, sub_interpreter_refused);
    const Host host(module);
    for (const char* name : {"sys", "os"}) {
        cpython::set_attr(module, cpython::text(name), cpython::import_module(name));
    }
    // The host panel's modules live in its `class/` directory; the relative entry resolves
    // against the panel root, which stays the working directory of the whole process.
    host.runtime.change_directory(panel_root);
    host.runtime.append_search_path(panel_class_entry);
    for (const char* name : {"public", "json", "time", "send_mail"}) {
        cpython::set_attr(module, cpython::text(name), cpython::import_module(name));
    }
    cpython::set_attr(module, cpython::text("__version__"), cpython::text(START_BOCE_VERSION));
    cpython::set_attr(module, cpython::text("DISPATCH_URL"),
                      cpython::text(START_BOCE_DISPATCH_URL));
    cpython::set_attr(module, cpython::text(class_name), define_class(module));
}

// The module's execution step: a load step's error reaches the importer as itself (a
// KeyboardInterrupt stays a KeyboardInterrupt).
int exec_module(PyObject* module) {
    return cpython::answered(
        [&] {
            load(module);
            return 0;
        },
        -1);
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
