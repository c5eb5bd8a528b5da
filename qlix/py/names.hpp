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
            for (size_t i = 0; i < n_; ++i) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names_[i]->get()));
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

}  // namespace qlix::py
