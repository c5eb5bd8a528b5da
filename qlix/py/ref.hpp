// Owning references, and the test that tells a thread it must not touch
// Python objects (the rules of use are at the top of core.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <type_traits>
#include <utility>

namespace qlix::py {

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

// Debug builds check that the GIL is held wherever a reference is added or
// dropped: touching an object without it is the fault that no test sees
// until two threads collide.
inline void assert_gil() noexcept { assert(PyGILState_Check()); }

// Owning reference. Never holds a reference it does not own. Passed to the
// C API as `.get()` (borrowed) or `.release()` (given away), so that a call
// that steals a reference cannot be handed one by accident; the module's own
// functions take a `Borrowed`, which a Ref converts to.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) {
        assert_gil();
        Py_XINCREF(p_);
    }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() {
        if (!p_ || abandoned()) return;
        assert_gil();
        Py_DECREF(p_);
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
        assert_gil();
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    explicit operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

// A borrowed reference: what a function that neither keeps nor steals its
// argument takes. Made from a PyObject* or a Ref (whose reference it borrows:
// a temporary Ref lives to the end of the call's full expression).
class Borrowed {
public:
    Borrowed(PyObject* p) noexcept : p_(p) {}
    Borrowed(const Ref& r) noexcept : p_(r.get()) {}
    // Names and other handles that convert to their object (a Ref does not).
    template <class T, std::enable_if_t<std::is_convertible_v<T&, PyObject*>, int> = 0>
    Borrowed(T& handle) : p_(handle) {}
    operator PyObject*() const noexcept { return p_; }
    PyObject* get() const noexcept { return p_; }

private:
    PyObject* p_;
};

}  // namespace qlix::py
