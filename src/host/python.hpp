// The runtime's objects as the module's C++ holds them: references that count themselves, the
// runtime's errors as a C++ exception, and the calls, attributes, items and iteration of Python,
// each failing with the exception the same Python operation raises.
//
// Nothing here keeps state of one call where another could see it: a host that runs its Python
// under gevent switches greenlets inside any call into Python, and the other greenlets of the
// thread may call the module meanwhile. The only process-wide data are the interned names below,
// made once and never changed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>
#include <utility>

namespace cpython {

// ---- a thread that CPython ends inside a call ---------------------------------------------------
// From 3.7 to 3.13 CPython ends a thread that asks for the GIL once the interpreter has begun to
// finalize (a daemon thread waiting in a host service when the panel stops): pthread_exit, whose
// forced unwinding runs the destructors of every C++ frame between that call and the thread's
// start, without the GIL, while the main thread tears the runtime down. From then on the thread
// touches no object: it leaks what its frames held, as CPython's own frames do. Every call into
// the runtime that may run Python code, and so wait for the GIL, is made through `calling`, which
// notices a call that never returns.

// Set on a thread that CPython is ending.
extern thread_local constinit bool thread_ending;

// function(arguments...), a call into the runtime; if it never returns, the thread is ending.
template <typename Function, typename... Arguments>
auto calling(Function function, Arguments... arguments) {
    struct Watch {
        bool returned = false;
        ~Watch() {
            if (!returned) thread_ending = true;  // only a forced unwinding leaves a C call
        }
    } watch;
    auto result = function(arguments...);
    watch.returned = true;
    return result;
}

// A borrowed reference: valid while something else owns the object.
class Handle {
  public:
    constexpr Handle() = default;
    constexpr Handle(PyObject* object) : object_(object) {}  // NOLINT(google-explicit-constructor)
    PyObject* ptr() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  protected:
    PyObject* object_ = nullptr;
};

// An owned reference, given back when it goes.
class Object : public Handle {
  public:
    Object() = default;
    // Takes over a new reference.
    static Object steal(PyObject* object) {
        Object owned;
        owned.object_ = object;
        return owned;
    }
    static Object borrow(Handle object) {
        Py_XINCREF(object.ptr());
        return steal(object.ptr());
    }
    Object(const Object& other) : Handle(other.object_) { Py_XINCREF(object_); }
    Object(Object&& other) noexcept : Handle(other.release()) {}
    Object& operator=(Object other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Object() {
        if (object_ != nullptr && !thread_ending) Py_DECREF(object_);
    }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
};

// The runtime's exception, taken out of the thread's error indicator and carried as a C++
// exception until it is handed back (restore) or handled. Never thrown or caught while Python
// code runs in between: see errors.hpp.
class Error {
  public:
    // The exception that a failed call of the runtime has raised.
    static Error fetch() noexcept;
    // MemoryError, for a C++ allocation that failed.
    static Error no_memory() noexcept;
    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;

    bool matches(PyObject* type) const noexcept;
    // Hands the exception back to the runtime's error indicator.
    void restore() noexcept;
    // The exception instance, with its traceback.
    Handle value();

  private:
    Error() = default;
#if PY_VERSION_HEX >= 0x030C0000
    Object exception_;
#else
    Object type_;
    Object value_;
    Object traceback_;
#endif
};

// Raises `type` with `message` (UTF-8), as C++.
[[noreturn]] void raise(PyObject* type, const char* message);
// A failed call of the runtime (a null result or a negative status), as C++.
[[noreturn]] void raise_fetched();

// The result of a runtime call that gives a new reference, or the error it raised.
inline Object checked(PyObject* result) {
    if (result == nullptr) raise_fetched();
    return Object::steal(result);
}
inline int checked_status(int status) {
    if (status < 0) raise_fetched();
    return status;
}

// A constant text (a key, an attribute name), made into an interned runtime text on first use
// and kept for the life of the process, so that no call makes it again. Declare them `constinit`
// at namespace scope.
class Name {
  public:
    constexpr explicit Name(const char* text) : text_(text) {}
    operator Handle() const { return object_ != nullptr ? object_ : make(); }  // NOLINT
    Handle handle() const { return *this; }
    const char* text() const { return text_; }

  private:
    PyObject* make() const;
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

// Values made from C++.
Object text(std::string_view utf8);
Object integer(long long value);
Object boolean(bool value);
Object none();
Object new_list();
Object new_dict();
void append(Handle list, Handle item);
// import name, through the runtime's import statement (builtins.__import__).
Object import_module(const char* name);
// The module the runtime's module table (sys.modules) holds under `name`, imported when it holds
// none: once a module is there, asking for it takes no lock and allocates nothing.
Object loaded_module(Handle name);

// object.name, object.name = value
Object attr(Handle object, Handle name);
void set_attr(Handle object, Handle name, Handle value);
// container[key], container[key] = value, len(container)
Object get_item(Handle container, Handle key);
void set_item(Handle container, Handle key, Handle value);
// container.get(key) for a dict (a subclass too, whose methods are not asked); an empty Object
// when the key is absent or `container` is no dict.
Object dict_value(Handle container, Handle key);
Py_ssize_t length(Handle container);

// callable(*arguments), the last of them named by `keyword_names` (a tuple of texts) if given.
// `arguments[-1]` must be writable: the callee may borrow it to bind a method's self.
Object call_with(Handle callable, PyObject** arguments, std::size_t count,
                 Handle keyword_names = {});
template <typename... Arguments>
Object call(Handle callable, const Arguments&... arguments) {
    PyObject* stack[] = {nullptr, Handle(arguments).ptr()...};
    return call_with(callable, stack + 1, sizeof...(Arguments));
}
// object.name(*arguments)
template <typename... Arguments>
Object call_method(Handle object, Handle name, const Arguments&... arguments) {
    return call(attr(object, name), arguments...);
}

// for (const Object& item : Iteration(iterable)): each item held while the body runs.
class Iteration {
  public:
    explicit Iteration(Handle iterable)
        : iterator_(checked(calling(PyObject_GetIter, iterable.ptr()))) {}

    class Position {
      public:
        explicit Position(Iteration* iteration) : iteration_(iteration) {}
        const Object& operator*() const { return iteration_->item_; }
        Position& operator++() {
            iteration_->advance();
            return *this;
        }
        bool operator!=(const Position&) const { return bool(iteration_->item_); }

      private:
        Iteration* iteration_;
    };
    Position begin() {
        advance();
        return Position(this);
    }
    Position end() { return Position(this); }

  private:
    void advance();
    Object iterator_;
    Object item_;
};

}  // namespace cpython
