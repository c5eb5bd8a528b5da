// Argument and result type checks shared by every class of the module.
#pragma once

#include "core.hpp"

namespace qlix::py {

// A parameter declared `int` or `str` takes exactly that type: no subclass
// (so no bool), no None.
[[noreturn]] inline void raise_arg_type(const char* name, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
                 Py_TYPE(got)->tp_name);
    throw_error();
}
inline PyObject* require_int(PyObject* v, const char* name) {
    if (!PyLong_CheckExact(v)) raise_arg_type(name, "int", v);
    return v;
}
inline PyObject* require_str(PyObject* v, const char* name) {
    if (!PyUnicode_CheckExact(v)) raise_arg_type(name, "str", v);
    return v;
}
// The int value of an exact int, with Python's own OverflowError beyond C long long.
inline long long int_value(PyObject* v, const char* name) {
    require_int(v, name);
    return check_value(PyLong_AsLongLong(v));
}

// A parameter declared `float`: converted as the C API's float conversion does
// (numbers, __float__, __index__; None and str refused with TypeError).
inline double to_double(PyObject* v) { return check_value(PyFloat_AsDouble(v)); }
inline Ref to_float(PyObject* v) {
    if (PyFloat_CheckExact(v)) return Ref::borrow(v);
    return check(PyFloat_FromDouble(to_double(v)));
}

// A member declared to return int, str or bool: the value must be that type or None.
[[noreturn]] inline void raise_result_type(const char* expected, Borrowed got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got)->tp_name);
    throw_error();
}
inline Ref result_int(Ref v) {
    if (v.get() != Py_None && !PyLong_CheckExact(v)) raise_result_type("int", v);
    return v;
}
inline Ref result_str(Ref v) {
    if (v.get() != Py_None && !PyUnicode_CheckExact(v)) raise_result_type("str", v);
    return v;
}
inline Ref result_bool(Ref v) {
    if (v.get() != Py_None && !PyBool_Check(v)) raise_result_type("bool", v);
    return v;
}

}  // namespace qlix::py
