// The small C++ layer over the CPython API: owning references, the error
// convention and helpers for calls, attributes and messages.
//
// Error convention: a failed C API call leaves a Python error set; the layer
// turns that into a thrown `py::Error`. Every entry point called by CPython
// catches it (see `py::guard`) and returns NULL or -1.
//
// Threads ended at exit: while the interpreter finalizes, a daemon thread that
// tries to take the GIL back (after time.sleep, a lock wait, a ctypes call) is
// ended where it stands. On Linux that is pthread_exit, a forced unwind that
// runs the destructors of every C++ frame on the thread, without the GIL. So:
//   - a destructor (or any code that can run during an unwind: catch (...)
//     blocks) that touches a Python object first asks `py::abandoned()`, and
//     when it is true leaves everything as it is (leaks: the process is ending);
//   - no function on a path that can call Python is `noexcept`, and a
//     catch (...) rethrows: the unwind must be able to pass (a noexcept frame
//     would end the process with std::terminate);
//   - a native mutex is never held across a call that can take the GIL back.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace qlix::py {

// Thrown when a Python error is set and must reach the caller.
struct Error {};

// True when this thread must not touch Python objects: the interpreter is
// finalizing and this thread does not hold the GIL (it is being ended while
// it waited for it). The finalizing flag is read first: it is one load, and
// false on every path but the last moments of a process.
inline bool abandoned() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    if (!Py_IsFinalizing()) return false;
#else
    if (!_Py_IsFinalizing()) return false;
#endif
    return !PyGILState_Check();
}

[[noreturn]] inline void throw_error() { throw Error{}; }

// Owning reference. Never holds a reference it does not own.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() {
        if (p_ && !abandoned()) Py_DECREF(p_);
    }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Takes over a new reference (NULL allowed).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed pointer (NULL allowed).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

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

// Raising Python exceptions from C++.
[[noreturn]] inline void raise(PyObject* type, const char* utf8) {
    PyErr_SetString(type, utf8);
    throw_error();
}
[[noreturn]] inline void raise_object(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    throw_error();
}

// Runs a C++ body for an entry point called by CPython: a thrown Error means a
// Python error is set; other C++ exceptions become Python errors. Returns
// `fail` in both cases. Not noexcept: the forced unwind that ends a thread at
// exit passes through (see the top of this file); nothing else does.
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
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
        return fail;
    }
}

// --- objects ----------------------------------------------------------------

inline Ref str(std::string_view utf8) {
    return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
inline Ref integer(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref interned(const char* s) { return check(PyUnicode_InternFromString(s)); }

inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline bool truth(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// Calls, positional arguments only.
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return check(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Method call `self.name(args...)`, without a bound-method object.
template <class... A>
Ref call_method(PyObject* self, PyObject* name, A... args) {
    PyObject* argv[] = {self, static_cast<PyObject*>(args)...};
    return check(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Call with trailing keyword arguments: `kwnames` is a tuple naming the last
// len(kwnames) values.
template <class... A>
Ref call_kw(PyObject* callable, PyObject* kwnames, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    size_t npos = sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return check(PyObject_Vectorcall(callable, argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
template <class... A>
Ref call_method_kw(PyObject* self, PyObject* name, PyObject* kwnames, A... args) {
    PyObject* argv[] = {self, static_cast<PyObject*>(args)...};
    size_t npos = 1 + sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return check(PyObject_VectorcallMethod(name, argv, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// --- messages ----------------------------------------------------------------

namespace detail {
inline Ref piece(const char* s) { return check(PyUnicode_FromString(s)); }
inline Ref piece(std::string_view s) { return str(s); }
inline Ref piece(PyObject* o) { return check(PyObject_Str(o)); }
inline Ref piece(const Ref& o) { return piece(o.get()); }
inline Ref piece(long long v) { return check(PyUnicode_FromFormat("%lld", v)); }
inline Ref piece(int v) { return piece(static_cast<long long>(v)); }
inline Ref piece(long v) { return piece(static_cast<long long>(v)); }
}  // namespace detail

// Joins text pieces without separators: C strings are UTF-8 text, objects are
// inserted as str(obj) ("None" for None), integers in decimal.
template <class... P>
Ref text(const P&... pieces) {
    Ref parts[] = {detail::piece(pieces)...};
    Ref list = check(PyList_New(sizeof...(P)));
    for (size_t i = 0; i < sizeof...(P); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), parts[i].release());
    Ref empty = check(PyUnicode_FromStringAndSize("", 0));
    return check(PyUnicode_Join(empty, list));
}

template <class... P>
[[noreturn]] void raise_text(PyObject* type, const P&... pieces) {
    Ref msg = text(pieces...);
    raise_object(type, msg);
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
    bool matches(PyObject* type) const noexcept { return exc_ && PyErr_GivenExceptionMatches(exc_, type); }
    PyObject* get() const noexcept { return exc_.get(); }

private:
    Ref exc_;
};

// Clean-up steps that must all run, whatever each of them raises (Ctrl-C
// included): run() catches a step's Python error and keeps the first one,
// later ones are dropped; finish() raises the kept error again.
class FirstError {
public:
    template <class F>
    void run(F&& step) {
        try {
            step();
        } catch (const Error&) {
            keep();
        }
    }
    // Keeps the Python error currently set (after the first, drops it).
    void keep() noexcept {
        Fetched error;
        if (!first_.get()) first_ = std::move(error);
    }
    bool failed() const noexcept { return first_.get() != nullptr; }
    void finish() {
        if (first_.get()) first_.restore_and_throw();
    }

private:
    Fetched first_{Fetched::nothing()};
};

}  // namespace qlix::py
