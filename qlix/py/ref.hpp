// Owning references, and the test that tells a thread it must not touch
// Python objects (the rules of use are at the top of core.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// Owning reference. Never holds a reference it does not own. Converts
// implicitly to a borrowed PyObject* (see core.hpp for why that is safe).
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

}  // namespace qlix::py
