// Building an ordinary Python class from an ordered member list:
// `type(name, (), namespace)` with methods, properties (optionally with a
// setter), static methods and class attributes, in definition order.
#pragma once

#include <optional>

#include "function.hpp"

namespace qlix::py {

class ClassBuilder {
public:
    ClassBuilder(const char* name, PyObject* module);

    // Names beginning with two underscores (and not ending with two) are
    // stored class-qualified, as Python stores private members.
    ClassBuilder& method(const FunctionDef& def);
    ClassBuilder& static_method(const FunctionDef& def);
    ClassBuilder& property(const FunctionDef& getter, const std::optional<FunctionDef>& setter = std::nullopt);
    ClassBuilder& attr(const char* name, Ref value);

    Ref build();

private:
    Ref mangled(const char* name) const;
    void add(const char* name, Borrowed value);

    const char* name_;
    Ref module_;
    Ref ns_;
};

}  // namespace qlix::py
