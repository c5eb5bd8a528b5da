// The module's function type: the compiled equivalent of a Python function.
//
// Vectorcall with argument binding from a small signature table, binding as a
// method through __get__ (and Py_TPFLAGS_METHOD_DESCRIPTOR, so that
// `obj.m()` allocates no bound method), and the usual function attributes:
// __name__, __qualname__, __module__, __doc__, __defaults__, __kwdefaults__,
// __annotations__, __dict__ and a __signature__ that inspect.signature uses.
#pragma once

#include <vector>

#include "core.hpp"

namespace qlix::py {

// A default value in a signature table.
struct Default {
    enum class Type { Absent, None, Int, Float, Str, Bytes };
    Type type = Type::Absent;
    long long i = 0;
    double d = 0.0;
    const char* s = nullptr;

    static Default none() { return {Type::None}; }
    static Default integer(long long v) { return {Type::Int, v}; }
    static Default real(double v) { return {Type::Float, 0, v}; }
    static Default text(const char* v) { return {Type::Str, 0, 0.0, v}; }
    static Default bytes(const char* v) { return {Type::Bytes, 0, 0.0, v}; }
};

enum class ParamKind { Normal, VarArgs, VarKw };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as a string annotation
    Default value = {};                // for Normal parameters
    ParamKind kind = ParamKind::Normal;
};

inline Param var_args(const char* name) { return {name, nullptr, {}, ParamKind::VarArgs}; }
inline Param var_kw(const char* name) { return {name, nullptr, {}, ParamKind::VarKw}; }

// The body of a function: one slot per parameter, in order. Normal parameters
// are borrowed references; *args is a tuple and **kwargs a new dict.
using Impl = Ref (*)(PyObject* const* args);

struct FunctionDef {
    const char* name;
    std::vector<Param> params;
    Impl impl;
    const char* returns = nullptr;  // return annotation
    const char* doc = nullptr;
};

constexpr int kMaxParams = 8;

// Creates a function object. `qualname_prefix` is the class name for methods
// (nullptr for module functions); `module` the __module__ value.
Ref make_function(const FunctionDef& def, const char* qualname_prefix, Borrowed module);

// Registers the function type; called once at module execution.
void ready_function_type();

// True for the module's own function objects.
bool is_function(PyObject* o) noexcept;

// Runs one of the module's functions on a vectorcall argument vector exactly
// as calling it through Python does (argument binding and errors included).
Ref run_function(PyObject* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// `cls.name` for a class: for a plain class (its metaclass is `type`) whose
// attribute is a plain value (no __get__), the value found on its MRO, as
// type.__getattribute__ finds it; anything else through getattr.
Ref class_attr(Borrowed cls, PyObject* name);

}  // namespace qlix::py
