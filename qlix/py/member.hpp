#pragma once

#include "names.hpp"

namespace qlix::py {

// `self.name(...)` and `self.name` for the module's calls to its own members.
// When the attribute is provably one of the module's functions (found on the
// type through the generic attribute lookup, not shadowed by an instance
// attribute; for a property, a plain property whose getter is one), its body
// runs directly: the same call without Python's method lookup and vectorcall.
// Anything else (subclass overrides, mocks, monkeypatched members) is called
// through Python. One cache entry per call site: the type, its version tag
// (changed by any change to the type or its bases) and the function found.
class Member {
public:
    constexpr explicit Member(Name& name) noexcept : name_(name) {}
    Member(const Member&) = delete;
    Member& operator=(const Member&) = delete;

    template <class... A>
    Ref call(Borrowed self, A... args) {
        PyObject* argv[] = {self, static_cast<PyObject*>(args)...};
        constexpr Py_ssize_t n = 1 + static_cast<Py_ssize_t>(sizeof...(A));
        if (PyObject* f = method_of(self)) return run_held(f, argv, n, nullptr);
        return check(PyObject_VectorcallMethod(name_.get(), argv,
                                               static_cast<size_t>(n) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    // The last len(kwnames) arguments are keywords.
    template <class... A>
    Ref call_kw(Borrowed self, PyObject* kwnames, A... args) {
        PyObject* argv[] = {self, static_cast<PyObject*>(args)...};
        Py_ssize_t n = 1 + static_cast<Py_ssize_t>(sizeof...(A)) - PyTuple_GET_SIZE(kwnames);
        if (PyObject* f = method_of(self)) return run_held(f, argv, n, kwnames);
        return check(PyObject_VectorcallMethod(name_.get(), argv,
                                               static_cast<size_t>(n) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
    // True while `self.name` is provably the module's own method (what
    // `call` would run directly).
    bool own(PyObject* self) { return method_of(self) != nullptr; }
    // `self.name` where the name is a property of the module.
    Ref get(PyObject* self) {
        if (PyObject* f = getter_of(self)) return run_held(f, &self, 1, nullptr);
        return check(PyObject_GetAttr(self, name_.get()));
    }

private:
    static Ref run_held(PyObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    bool refresh(PyTypeObject* type);
    PyObject* method_of(PyObject* self);  // borrowed, or null
    PyObject* getter_of(PyObject* self);  // borrowed, or null

    Name& name_;
    PyTypeObject* type_ = nullptr;  // compared only, never used
    unsigned int tag_ = 0;
    bool property_ = false;
    PyObject* function_ = nullptr;  // owned
};

}  // namespace qlix::py
