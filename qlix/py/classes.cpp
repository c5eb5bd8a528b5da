#include "classes.hpp"

#include <cstring>

namespace qlix::py {

ClassBuilder::ClassBuilder(const char* name, PyObject* module)
    : name_(name), module_(Ref::borrow(module)), ns_(check(PyDict_New())) {
    Ref module_name = getattr(module, Ref(interned("__name__")));
    check(PyDict_SetItemString(ns_.get(), "__module__", module_name.get()));
    Ref qualname = check(PyUnicode_FromString(name));
    check(PyDict_SetItemString(ns_.get(), "__qualname__", qualname.get()));
}

Ref ClassBuilder::mangled(const char* name) const {
    size_t n = std::strlen(name);
    bool is_private = n > 2 && name[0] == '_' && name[1] == '_' && !(name[n - 1] == '_' && name[n - 2] == '_');
    if (!is_private) return interned(name);
    const char* cls = name_;
    while (*cls == '_') ++cls;  // Python strips the class name's leading underscores
    Ref m = check(PyUnicode_FromFormat("_%s%s", cls, name));
    PyObject* p = m.release();
    PyUnicode_InternInPlace(&p);
    return Ref::steal(p);
}

void ClassBuilder::add(const char* name, Borrowed value) {
    check(PyDict_SetItem(ns_.get(), mangled(name).get(), value));
}

ClassBuilder& ClassBuilder::method(const FunctionDef& def) {
    Ref f = make_function(def, name_, module_);
    add(def.name, f);
    return *this;
}

ClassBuilder& ClassBuilder::static_method(const FunctionDef& def) {
    Ref f = make_function(def, name_, module_);
    Ref sm = check(PyStaticMethod_New(f.get()));
    add(def.name, sm);
    return *this;
}

ClassBuilder& ClassBuilder::property(const FunctionDef& getter, const std::optional<FunctionDef>& setter) {
    Ref fget = make_function(getter, name_, module_);
    Ref fset = setter ? make_function(*setter, name_, module_) : none();
    Ref p = call(reinterpret_cast<PyObject*>(&PyProperty_Type), fget.get(), fset.get());
    add(getter.name, p);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, Ref value) {
    add(name, value);
    return *this;
}

Ref ClassBuilder::build() {
    Ref name = check(PyUnicode_FromString(name_));
    Ref bases = check(PyTuple_New(0));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns_.get());
}

}  // namespace qlix::py
