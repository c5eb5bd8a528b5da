// Interned attribute and keyword names, created on first use and kept for the
// life of the process (the module lives that long too).
#pragma once

#include "core.hpp"

namespace qlix::py {

class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() {
        if (!obj_) {
            obj_ = PyUnicode_InternFromString(text_);
            if (!obj_) throw_error();
        }
        return obj_;
    }
    operator PyObject*() { return get(); }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    PyObject* obj_ = nullptr;
};

// A tuple of keyword names for vectorcall, built on first use.
class KwNames {
public:
    template <class... N>
    constexpr explicit KwNames(N&... names) noexcept : names_{&names...}, n_(sizeof...(N)) {}

    PyObject* get() {
        if (!tuple_) {
            Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(n_)));
            for (size_t i = 0; i < n_; ++i)
                PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names_[i]->get()));
            tuple_ = t.release();
        }
        return tuple_;
    }
    operator PyObject*() { return get(); }

private:
    Name* names_[4];
    size_t n_;
    PyObject* tuple_ = nullptr;
};

// The names the layer itself uses; the module's shared names are in
// ../names.hpp. Each name is declared once, in one of the two.
inline Name n_acquire{"acquire"}, n_release{"release"}, n_get{"get"};

// `mapping.get(key)`, None counted as absent: an empty Ref when the key is
// absent or maps to None. Exact dicts are read directly; any other mapping
// through its `get`.
inline Ref lookup(Borrowed mapping, Borrowed key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (!v) {
            if (PyErr_Occurred()) throw_error();
            return {};
        }
        return v == Py_None ? Ref{} : Ref::borrow(v);
    }
    Ref v = call_method(mapping, n_get, key);
    return v.get() == Py_None ? Ref{} : v;
}

}  // namespace qlix::py
