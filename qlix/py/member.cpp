#include "member.hpp"
#include "function.hpp"

namespace qlix::py {

namespace {

// A function of the module that Python would call by vectorcall (those taking
// **kwargs go through tp_call for their error messages).
bool is_vectorcall_function(Borrowed o) { return is_function(o) && PyVectorcall_Function(o); }

Name n_fget{"fget"};

}  // namespace

Ref Member::run_held(PyObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref hold = Ref::borrow(f);  // the body may remove it from the type
    return run_function(f, args, nargs, kwnames);
}

// Looks the name up on `type` as the generic attribute lookup does and caches
// what it finds. Returns false when the entry cannot be cached.
bool Member::refresh(PyTypeObject* type) {
    PyObject* old = function_;
    function_ = nullptr;
    type_ = type;
    tag_ = 0;
    property_ = false;
    Py_XDECREF(old);
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* descr = _PyType_Lookup(type, name_.get());  // see class_attr; assigns the version tag
    unsigned int tag = type->tp_version_tag;
    if (tag == 0) return false;
    Ref found;
    bool property = false;
    if (descr && is_vectorcall_function(descr)) {
        found = Ref::borrow(descr);
    } else if (descr && Py_TYPE(descr) == &PyProperty_Type) {
        Ref fget = Ref::steal(PyObject_GetAttr(descr, n_fget.get()));
        if (!fget) {
            PyErr_Clear();
            return false;
        }
        if (is_vectorcall_function(fget)) {
            found = fget;
            property = true;
        }
    }
    if (type->tp_version_tag != tag) return false;
    tag_ = tag;
    property_ = property;
    function_ = found.release();
    return true;
}

PyObject* Member::method_of(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if ((type != type_ || tag_ == 0 || type->tp_version_tag != tag_) && !refresh(type)) return nullptr;
    if (!function_ || property_) return nullptr;
    if (type->tp_dictoffset != 0) {
        // An instance attribute of that name comes first.
        PyObject* dict = PyObject_GenericGetDict(self, nullptr);
        if (!dict) {
            PyErr_Clear();
            return nullptr;
        }
        PyObject* shadow = PyDict_GetItemWithError(dict, name_.get());
        Py_DECREF(dict);
        if (shadow) return nullptr;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;  // Python's own lookup reports it
        }
    }
    return function_;
}

PyObject* Member::getter_of(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if ((type != type_ || tag_ == 0 || type->tp_version_tag != tag_) && !refresh(type)) return nullptr;
    // A property is a data descriptor: it comes before instance attributes.
    return property_ ? function_ : nullptr;
}

}  // namespace qlix::py
