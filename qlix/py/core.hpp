// The small C++ layer over the CPython API: owning references (ref.hpp), the
// error convention (errors.hpp) and helpers for calls, attributes and messages.
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
// Two places bend these rules on purpose: `Ref`'s destructor is noexcept (as
// every destructor) though its decref may run a finalizer (__del__), which is
// fine because CPython reports a finalizer's error as unraisable instead of
// raising it, and `abandoned()` skips the decref during the unwind; `guard`'s
// catch (...) rethrows only the forced unwind and turns any other C++
// exception into a Python error, as the boundary with CPython must.
// Errors: a pending Python error travels as a thrown `py::Error`; catching,
// chaining and keeping errors go through the pieces of errors.hpp only, and a
// Python lock is held through `py::with_lock` or `py::try_lock` (lock.hpp)
// only.
//
// `Ref` does not convert to `PyObject*` by itself: a C API call is given
// `.get()` (borrowed) or `.release()` (the reference given away), so a call
// that steals a reference (PyList_SET_ITEM, PyTuple_SET_ITEM,
// PyException_SetContext, PyErr_SetRaisedException, Py_SETREF, ...) says so
// at the call. The module's own functions that only borrow take a
// `Borrowed`, which a Ref, a PyObject* or a `Name` converts to. Debug builds
// assert the GIL wherever a Ref adds or drops a reference.
#pragma once

#include "errors.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qlix::py {

// --- objects ----------------------------------------------------------------

inline Ref str(std::string_view utf8) {
    return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
inline Ref integer(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref interned(const char* s) { return check(PyUnicode_InternFromString(s)); }

inline Ref getattr(Borrowed o, Borrowed name) { return check(PyObject_GetAttr(o, name)); }
// `getattr(o, name, None)` for an attribute that may be missing: an empty Ref
// when it is (an AttributeError, cleared without being raised in C++).
inline Ref optional_attr(Borrowed o, Borrowed name) {
    PyObject* v = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    check(PyObject_GetOptionalAttr(o, name, &v));
#else
    check(_PyObject_LookupAttr(o, name, &v));
#endif
    return Ref::steal(v);
}
inline void setattr(Borrowed o, PyObject* name, Borrowed v) { check(PyObject_SetAttr(o, name, v)); }
inline bool truth(Borrowed o) { return check(PyObject_IsTrue(o)) != 0; }

// Calls, positional arguments only.
template <class... A>
Ref call(Borrowed callable, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return check(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Method call `self.name(args...)`, without a bound-method object.
template <class... A>
Ref call_method(Borrowed self, PyObject* name, A... args) {
    PyObject* argv[] = {self, static_cast<PyObject*>(args)...};
    return check(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Call with trailing keyword arguments: `kwnames` is a tuple naming the last
// len(kwnames) values.
template <class... A>
Ref call_kw(Borrowed callable, PyObject* kwnames, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    size_t npos = sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return check(PyObject_Vectorcall(callable, argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
template <class... A>
Ref call_method_kw(Borrowed self, PyObject* name, PyObject* kwnames, A... args) {
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
    for (size_t i = 0; i < sizeof...(P); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), parts[i].release());
    Ref empty = check(PyUnicode_FromStringAndSize("", 0));
    return check(PyUnicode_Join(empty.get(), list.get()));
}

template <class... P>
[[noreturn]] void raise_text(PyObject* type, const P&... pieces) {
    Ref msg = text(pieces...);
    raise_object(type, msg);
}
// The same for an error of the module's own, carrying `code`.
template <class... P>
[[noreturn]] void raise_text(PyObject* type, const Code& code, const P&... pieces) {
    Ref msg = text(pieces...);
    raise_coded(type, code, msg.get());
}

}  // namespace qlix::py
