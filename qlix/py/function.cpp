#include "function.hpp"

#include <structmember.h>

#include <array>
#include <cstring>

namespace qlix::py {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    int nparams;                  // all parameters
    int npositional;              // Normal parameters (they come first)
    int varargs;                  // slot of *args, or -1
    int varkw;                    // slot of **kwargs, or -1
    PyObject* names[kMaxParams];  // interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple or None
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

PyTypeObject* s_function_type = nullptr;

FunctionObject* as_function(Borrowed o) { return reinterpret_cast<FunctionObject*>(o.get()); }

// --- argument errors, worded as CPython words them -------------------------

[[noreturn]] void too_many_positional(FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t ndefaults = PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
    Py_ssize_t max = f->npositional;
    Py_ssize_t min = max - ndefaults;
    if (min < max) {
        PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd were given", f->qualname,
                     min, max, given);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname, max,
                     max == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    }
    throw_error();
}

[[noreturn]] void missing_positional(FunctionObject* f, PyObject* const* slots, Py_ssize_t required) {
    Ref missing = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (!slots[i]) {
            Ref quoted = check(PyUnicode_FromFormat("'%U'", f->names[i]));
            check(PyList_Append(missing.get(), quoted.get()));
        }
    }
    Py_ssize_t n = PyList_GET_SIZE(missing.get());
    Ref joined;
    if (n == 1) {
        joined = Ref::borrow(PyList_GET_ITEM(missing.get(), 0));
    } else {
        Ref last = Ref::borrow(PyList_GET_ITEM(missing.get(), n - 1));
        check(PyList_SetSlice(missing.get(), n - 1, n, nullptr));
        Ref sep = str(", ");
        Ref head = check(PyUnicode_Join(sep.get(), missing.get()));
        joined = check(PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U", head.get(), last.get()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, n,
                 n == 1 ? "" : "s", joined.get());
    throw_error();
}

int find_param(FunctionObject* f, PyObject* key) {
    for (int i = 0; i < f->npositional; ++i)
        if (f->names[i] == key) return i;
    for (int i = 0; i < f->npositional; ++i)
        if (check_value(PyUnicode_Compare(f->names[i], key)) == 0) return i;
    return -1;
}

// Binds a vectorcall argument vector to the parameter slots and runs the body.
Ref bind_and_run(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, kMaxParams> slots{};
    Ref extra_args, extra_kw;

    Py_ssize_t ncopy = nargs < f->npositional ? nargs : f->npositional;
    for (Py_ssize_t i = 0; i < ncopy; ++i) slots[static_cast<size_t>(i)] = args[i];
    if (f->varargs >= 0) {
        extra_args = check(PyTuple_New(nargs - ncopy));
        for (Py_ssize_t i = ncopy; i < nargs; ++i) PyTuple_SET_ITEM(extra_args.get(), i - ncopy, Py_NewRef(args[i]));
        slots[static_cast<size_t>(f->varargs)] = extra_args.get();
    }
    if (f->varkw >= 0) {
        extra_kw = check(PyDict_New());
        slots[static_cast<size_t>(f->varkw)] = extra_kw.get();
    }
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            int i = find_param(f, key);
            if (i >= 0) {
                if (slots[static_cast<size_t>(i)]) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
                    throw_error();
                }
                slots[static_cast<size_t>(i)] = value;
            } else if (extra_kw) {
                check(PyDict_SetItem(extra_kw.get(), key, value));
            } else {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
                throw_error();
            }
        }
    }
    if (nargs > f->npositional && f->varargs < 0) too_many_positional(f, nargs);

    Py_ssize_t ndefaults = PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
    if (ndefaults > f->npositional) ndefaults = f->npositional;
    Py_ssize_t required = f->npositional - ndefaults;
    for (Py_ssize_t i = 0; i < required; ++i)
        if (!slots[static_cast<size_t>(i)]) missing_positional(f, slots.data(), required);
    // Keep the defaults tuple alive while the body runs: it may be replaced.
    Ref defaults = Ref::borrow(f->defaults);
    for (Py_ssize_t i = required; i < f->npositional; ++i)
        if (!slots[static_cast<size_t>(i)])
            slots[static_cast<size_t>(i)] = PyTuple_GET_ITEM(defaults.get(), i - required);

    return f->impl(slots.data());
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&] {
        return bind_and_run(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames).release();
    });
}

// Calls through tp_call (used by functions with **kwargs, so that a
// non-string keyword is reported with the function's name).
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&] {
        FunctionObject* f = as_function(self);
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        std::vector<PyObject*> stack(static_cast<size_t>(nargs + nkw));
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
        Ref kwnames;
        if (nkw) {
            kwnames = check(PyTuple_New(nkw));
            Py_ssize_t pos = 0, k = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", PyUnicode_AsUTF8(f->name));
                    throw_error();
                }
                PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
                stack[static_cast<size_t>(nargs + k)] = value;
                ++k;
            }
        }
        // The dict's values are borrowed: hold the dict itself meanwhile.
        Ref hold = Ref::borrow(kwargs);
        return bind_and_run(f, stack.data(), nargs, kwnames ? kwnames.get() : nullptr).release();
    });
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    for (int i = 0; i < f->nparams; ++i) Py_CLEAR(f->names[i]);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// --- attributes --------------------------------------------------------------

PyObject* function_name_get(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* function_qualname_get(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_text_attr(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}
int function_name_set(PyObject* self, PyObject* value, void*) {
    return set_text_attr(&as_function(self)->name, value, "__name__");
}
int function_qualname_set(PyObject* self, PyObject* value, void*) {
    return set_text_attr(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* function_defaults_get(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }
int function_defaults_set(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_SETREF(as_function(self)->defaults, Py_NewRef(value));
    return 0;
}
PyObject* function_kwdefaults_get(PyObject* self, void*) { return Py_NewRef(as_function(self)->kwdefaults); }
int function_kwdefaults_set(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->kwdefaults, Py_NewRef(value));
    return 0;
}
PyObject* function_annotations_get(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations) f->annotations = PyDict_New();
    return Py_XNewRef(f->annotations);
}
int function_annotations_set(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->annotations, value == Py_None ? nullptr : Py_NewRef(value));
    return 0;
}

// inspect.Signature built from the parameter table, the current defaults and
// the current annotations.
PyObject* function_signature_get(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] {
        FunctionObject* f = as_function(self);
        Ref inspect = check(PyImport_ImportModule("inspect"));
        Ref parameter_cls = getattr(inspect, Ref(interned("Parameter")));
        Ref signature_cls = getattr(inspect, Ref(interned("Signature")));
        Ref empty = getattr(parameter_cls, Ref(interned("empty")));
        PyObject* annotations = f->annotations;
        Ref params = check(PyList_New(0));
        Py_ssize_t ndefaults = PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
        Py_ssize_t first_default = f->npositional - ndefaults;
        for (int i = 0; i < f->nparams; ++i) {
            const char* kind_name = i == f->varargs ? "VAR_POSITIONAL"
                                    : i == f->varkw ? "VAR_KEYWORD"
                                                    : "POSITIONAL_OR_KEYWORD";
            Ref kind = getattr(parameter_cls, Ref(interned(kind_name)));
            Ref kwargs = check(PyDict_New());
            check(PyDict_SetItemString(kwargs.get(), "name", f->names[i]));
            check(PyDict_SetItemString(kwargs.get(), "kind", kind.get()));
            if (i < f->npositional && i >= first_default)
                check(PyDict_SetItemString(kwargs.get(), "default", PyTuple_GET_ITEM(f->defaults, i - first_default)));
            if (annotations) {
                PyObject* ann = PyDict_GetItemWithError(annotations, f->names[i]);
                if (!ann && PyErr_Occurred()) throw_error();
                if (ann) check(PyDict_SetItemString(kwargs.get(), "annotation", ann));
            }
            Ref noargs = check(PyTuple_New(0));
            Ref param = check(PyObject_Call(parameter_cls.get(), noargs.get(), kwargs.get()));
            check(PyList_Append(params.get(), param.get()));
        }
        Ref kwargs = check(PyDict_New());
        if (annotations) {
            PyObject* ret = PyDict_GetItemString(annotations, "return");
            if (ret) check(PyDict_SetItemString(kwargs.get(), "return_annotation", ret));
        }
        Ref args = check(PyTuple_Pack(1, params.get()));
        return check(PyObject_Call(signature_cls.get(), args.get(), kwargs.get())).release();
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", function_name_get, function_name_set, nullptr, nullptr},
    {"__qualname__", function_qualname_get, function_qualname_set, nullptr, nullptr},
    {"__defaults__", function_defaults_get, function_defaults_set, nullptr, nullptr},
    {"__kwdefaults__", function_kwdefaults_get, function_kwdefaults_set, nullptr, nullptr},
    {"__annotations__", function_annotations_get, function_annotations_set, nullptr, nullptr},
    {"__signature__", function_signature_get, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "ozu_qlix.compiled_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Ref make_default(const Default& d) {
    switch (d.type) {
        case Default::Type::None: return none();
        case Default::Type::Int: return integer(d.i);
        case Default::Type::Float: return check(PyFloat_FromDouble(d.d));
        case Default::Type::Str: return check(PyUnicode_FromString(d.s));
        case Default::Type::Bytes: return check(PyBytes_FromString(d.s));
        case Default::Type::Absent: break;
    }
    return {};
}

}  // namespace

void ready_function_type() {
    if (s_function_type) return;
    s_function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&function_spec)).release());
    // Kept for the life of the process, like the module.
}

Ref make_function(const FunctionDef& def, const char* qualname_prefix, Borrowed module) {
    ready_function_type();
    if (def.params.size() > static_cast<size_t>(kMaxParams)) raise(PyExc_SystemError, "too many parameters");
    Ref obj = check(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, s_function_type)));
    FunctionObject* f = as_function(obj);
    f->vectorcall = nullptr;
    f->impl = def.impl;
    f->nparams = 0;
    f->npositional = 0;
    f->varargs = -1;
    f->varkw = -1;
    for (auto& n : f->names) n = nullptr;
    f->name = f->qualname = f->module = f->doc = f->defaults = f->kwdefaults = f->annotations = f->dict = nullptr;
    f->weakrefs = nullptr;

    f->name = check(PyUnicode_InternFromString(def.name)).release();
    f->qualname =
        (qualname_prefix ? check(PyUnicode_FromFormat("%s.%s", qualname_prefix, def.name)) : Ref::borrow(f->name))
            .release();
    f->module =
        PyModule_Check(module) ? check(PyObject_GetAttrString(module, "__name__")).release() : Py_NewRef(module);
    f->doc = (def.doc ? check(PyUnicode_FromString(def.doc)) : none()).release();
    f->kwdefaults = Py_NewRef(Py_None);

    Ref annotations = check(PyDict_New());
    Ref defaults = check(PyList_New(0));
    for (const Param& p : def.params) {
        int i = f->nparams++;
        f->names[i] = check(PyUnicode_InternFromString(p.name)).release();
        if (p.kind == ParamKind::VarArgs) {
            f->varargs = i;
        } else if (p.kind == ParamKind::VarKw) {
            f->varkw = i;
        } else {
            f->npositional = i + 1;
            Ref value = make_default(p.value);
            if (value) check(PyList_Append(defaults.get(), value.get()));
        }
        if (p.annotation) {
            Ref ann = check(PyUnicode_FromString(p.annotation));
            check(PyDict_SetItem(annotations.get(), f->names[i], ann.get()));
        }
    }
    if (def.returns) {
        Ref ann = check(PyUnicode_FromString(def.returns));
        check(PyDict_SetItemString(annotations.get(), "return", ann.get()));
    }
    f->annotations = annotations.release();
    f->defaults = (PyList_GET_SIZE(defaults.get()) ? check(PyList_AsTuple(defaults.get())) : none()).release();
    // Functions taking **kwargs go through tp_call so that keyword names that
    // are not strings are reported with the function's name.
    f->vectorcall = f->varkw >= 0 ? nullptr : function_vectorcall;
    PyObject_GC_Track(obj.get());
    return obj;
}

bool is_function(PyObject* o) noexcept { return s_function_type && Py_TYPE(o) == s_function_type; }

Ref run_function(PyObject* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind_and_run(as_function(function), args, nargs, kwnames);
}

Ref class_attr(Borrowed cls, PyObject* name) {
    if (Py_IS_TYPE(cls, &PyType_Type)) {
        // A data descriptor of the metaclass would come first: `type` has none
        // of the names read this way, checked all the same. _PyType_Lookup is
        // private API, checked on CPython 3.11, 3.12 and 3.13 (the versions the
        // suite runs on): a borrowed result or NULL, no error left set, and a
        // version tag given to a type that has none (Member::refresh needs it).
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        if (!_PyType_Lookup(&PyType_Type, name)) {
            PyObject* value = _PyType_Lookup(type, name);  // borrowed
            if (value && !Py_TYPE(value)->tp_descr_get) return Ref::borrow(value);
        }
    }
    return check(PyObject_GetAttr(cls, name));
}

}  // namespace qlix::py
