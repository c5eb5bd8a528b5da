// Python errors in C++. A failed C API call leaves a Python error set; the
// layer turns that into a thrown `py::Error`, which carries nothing: the error
// itself stays in the thread state. Every entry point called by CPython
// catches it (see `guard`) and returns NULL or -1.
//
// One way for each thing: `catch_only` catches one Python exception type,
// `interrupted` tells an interruption from an Exception while an error is
// set, `on_error` cleans up after a failure as `except: cleanup(); raise`
// does, `raise_in_context` chains as a `raise` inside `except` does, an
// `ErrorScope` keeps the caller's error aside around a clean-up or report, and
// `FirstError` runs clean-up steps that must all run. `check`, `check_size`,
// `check_value` and `next` turn C API results into thrown errors. An error of
// the module's own carries a `Code`: its `qlix_error` and the values its
// message shows, as attributes of the exception.
#pragma once

#include "poll.hpp"
#include "ref.hpp"

#include <exception>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__GLIBCXX__) || (defined(_LIBCPP_VERSION) && defined(__linux__))
#include <cxxabi.h>
#endif

namespace qlix::py {

// Thrown when a Python error is set and must reach the caller.
struct Error {};

[[noreturn]] inline void throw_error() { throw Error{}; }

// A new reference from a C API call that returns NULL on error.
inline Ref check(PyObject* p) {
    if (!p) throw_error();
    return Ref::steal(p);
}
// A C API status (negative on error).
inline int check(int status) {
    if (status < 0) throw_error();
    return status;
}
inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0 && PyErr_Occurred()) throw_error();
    return n;
}
// A C API result for which -1 is both a value and the error mark
// (PyLong_AsLong, PyFloat_AsDouble, PyUnicode_Compare, ...).
template <class T>
T check_value(T v) {
    if (v == static_cast<T>(-1) && PyErr_Occurred()) throw_error();
    return v;
}
// The next item of an iterator, or an empty Ref at its end.
inline Ref next(Borrowed iterator) {
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) throw_error();
    return item;
}

// Raising Python exceptions from C++.
[[noreturn]] inline void raise(PyObject* type, const char* utf8) {
    PyErr_SetString(type, utf8);
    throw_error();
}
[[noreturn]] inline void raise_object(PyObject* type, Borrowed value) {
    PyErr_SetObject(type, value);
    throw_error();
}

// A value an error of the module's own carries: the attribute `name` of the
// exception, an object (None for a null one) or an integer.
struct Detail {
    Detail(const char* attribute, PyObject* v) : name(attribute), value(Ref::borrow(v ? v : Py_None)) {}
    Detail(const char* attribute, const Ref& v) : Detail(attribute, v.get()) {}
    Detail(const char* attribute, long long v) : name(attribute), value(Ref::steal(PyLong_FromLongLong(v))) {}
    const char* name;
    Ref value;  // empty when the integer could not be made (a MemoryError is set)
};

// What tells an error of the module's own apart without its message: `code`,
// a short snake_case text that the exception carries as `qlix_error`, and the
// values of its message. Made only when raising: nothing on the paths that
// do not fail.
struct Code {
    const char* code;
    std::initializer_list<Detail> details = {};
};

// Sets the code and the values of `code` on the exception `exc`.
inline void set_code(PyObject* exc, const Code& code) {
    Ref text = check(PyUnicode_FromString(code.code));
    check(PyObject_SetAttrString(exc, "qlix_error", text.get()));
    for (const Detail& detail : code.details) {
        if (!detail.value) throw_error();
        check(PyObject_SetAttrString(exc, detail.name, detail.value.get()));
    }
}

// Raises `type(message)` (`type()` for a null message) carrying `code`.
[[noreturn]] inline void raise_coded(PyObject* type, const Code& code, PyObject* message) {
    Ref exc = check(message ? PyObject_CallOneArg(type, message) : PyObject_CallNoArgs(type));
    set_code(exc.get(), code);
    raise_object(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

// Runs a C++ body for an entry point called by CPython: a thrown Error means a
// Python error is set; other C++ exceptions become Python errors. Returns
// `fail` in both cases. Not noexcept: the forced unwind that ends a thread at
// exit passes through (see the top of core.hpp); nothing else does.
template <class R, class F>
R guard(R fail, F&& body) {
    try {
        return body();
    } catch (const Error&) {
        return fail;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return fail;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
#if defined(_LIBCPP_VERSION) && defined(__linux__)
        // With libc++ (the Linux wheels) the forced unwind is a foreign
        // exception, one without a C++ type: it passes too.
        if (!abi::__cxa_current_exception_type()) throw;
#endif
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
        return fail;
    }
}

// The Python error currently set, taken out of the thread state.
class Fetched {
public:
    struct Nothing {};
    // An empty one, leaving the error state alone.
    static Nothing nothing() noexcept { return {}; }
    explicit Fetched(Nothing) noexcept {}
    Fetched(Fetched&&) noexcept = default;
    Fetched& operator=(Fetched&&) noexcept = default;

    // Takes the error currently set out of the thread state (empty when none is).
    static Fetched take() noexcept { return Fetched(); }

    // Puts the error back, if there was one (consumes it).
    void restore() noexcept {
        PyObject* value = exc_.release();
        if (!value) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value);
#else
        PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
    }
    [[noreturn]] void restore_and_throw() {
        restore();
        throw_error();
    }
    bool matches(Borrowed type) const noexcept { return exc_ && PyErr_GivenExceptionMatches(exc_.get(), type); }
    PyObject* get() const noexcept { return exc_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(exc_); }

private:
    Fetched() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (value && tb) PyException_SetTraceback(value, tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
        exc_ = Ref::steal(value);
#endif
    }

    Ref exc_;
};

// Keeps the error state of the caller aside while a clean-up or a report (a
// destructor's, an unraisable hook's) calls Python, and puts it back at the
// end of the scope. Construct it only when `abandoned()` is false.
class ErrorScope {
public:
    ErrorScope() noexcept = default;
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;
    ~ErrorScope() noexcept(false) {
        if (!abandoned()) saved_.restore();
    }

private:
    Fetched saved_ = Fetched::take();
};

// Raises the Python error currently set with `handled` as its __context__, as
// Python does for an exception raised while another one is being handled.
[[noreturn]] inline void raise_in_context(const Fetched& handled) {
    Fetched fresh = Fetched::take();
    if (fresh && handled && fresh.get() != handled.get()) PyException_SetContext(fresh.get(), Py_NewRef(handled.get()));
    fresh.restore_and_throw();
}
// The same, the raised error carrying `code`.
[[noreturn]] inline void raise_in_context(const Fetched& handled, const Code& code) {
    Fetched fresh = Fetched::take();
    if (fresh) set_code(fresh.get(), code);
    fresh.restore();
    raise_in_context(handled);
}

namespace detail {
// Runs a clean-up of on_error, given the error when it takes one; true when
// it reports the error handled (a `with` block's __exit__ suppressing it).
template <class C>
bool run_cleanup(C& cleanup, const Fetched& error) {
    if constexpr (std::is_invocable_v<C&, const Fetched&>) {
        if constexpr (std::is_same_v<std::invoke_result_t<C&, const Fetched&>, bool>) return cleanup(error);
        cleanup(error);
    } else {
        cleanup();
    }
    return false;
}
}  // namespace detail

// `try: return body() except: cleanup(); raise`: when the body raises, runs
// `cleanup` and raises the body's error again. An error of the clean-up is
// raised instead, with the body's error as its __context__. `cleanup` may take
// the body's error (a const Fetched&) and, for a body returning nothing,
// return true to swallow it. Any other C++ exception passes through after the
// clean-up (its error dropped); while the thread is being ended at exit
// (abandoned()) nothing runs.
template <class F, class C>
auto on_error(F&& body, C&& cleanup) -> decltype(body()) {
    try {
        return body();
    } catch (const Error&) {
        Fetched error = Fetched::take();
        bool handled = false;
        try {
            handled = detail::run_cleanup(cleanup, error);
        } catch (const Error&) {
            raise_in_context(error);
        }
        if constexpr (std::is_void_v<decltype(body())>) {
            if (handled) return;
        }
        error.restore_and_throw();
    } catch (...) {
        if (abandoned()) throw;
        ErrorScope kept;
        try {
            detail::run_cleanup(cleanup, Fetched(Fetched::nothing()));
        } catch (const Error&) {
            PyErr_Clear();
        }
        throw;
    }
}

// Runs `body` and catches a Python error of `type` (or of a subclass) only:
// returns it, or an empty one when the body raised nothing. Any other error
// passes on.
template <class F>
Fetched catch_only(Borrowed type, F&& body) {
    try {
        body();
    } catch (const Error&) {
        Fetched error = Fetched::take();
        if (!error.matches(type)) error.restore_and_throw();
        return error;
    }
    return Fetched(Fetched::nothing());
}

// `out = call()` for a C API call (a new reference, or NULL with an error
// set), catching an error of `type` only as above, without a C++ throw: the
// lookups that use it miss on common paths (an attribute not set), where a
// throw would cost microseconds.
template <class F>
Fetched catch_only(Borrowed type, Ref& out, F&& call) {
    out = Ref::steal(call());
    if (out) return Fetched(Fetched::nothing());
    Fetched error = Fetched::take();
    if (!error.matches(type)) error.restore_and_throw();
    return error;
}

// With a Python error set: true when it is no Exception, that is an
// interruption such as the KeyboardInterrupt a signal handler raises.
inline bool interrupted() noexcept { return !PyErr_ExceptionMatches(PyExc_Exception); }

// Clean-up steps that must all run, whatever each of them raises (Ctrl-C
// included): run() catches a step's Python error and keeps the first one,
// later ones are dropped; finish() raises the kept error again.
class FirstError {
public:
    // How often run_to_end makes an interrupted step again at most.
    static constexpr Limit kInterruptedRuns{{}, 100};

    template <class F>
    void run(F&& step) {
        try {
            step();
        } catch (const Error&) {
            keep();
        }
    }
    // Runs a step that may be made again (it is idempotent) once more each
    // time it is interrupted. Any other error ends it.
    template <class F>
    void run_to_end(F&& step) {
        poll_until(kInterruptedRuns, [&] {
            try {
                step();
                return true;
            } catch (const Error&) {
                bool again = interrupted();
                keep();
                return !again;
            }
        });
    }
    // Keeps the Python error currently set (after the first, drops it).
    void keep() noexcept {
        Fetched error = Fetched::take();
        if (!first_) first_ = std::move(error);
    }
    bool failed() const noexcept { return static_cast<bool>(first_); }
    void finish() {
        if (first_) first_.restore_and_throw();
    }

private:
    Fetched first_{Fetched::nothing()};
};

}  // namespace qlix::py
