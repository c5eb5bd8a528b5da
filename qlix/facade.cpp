#include "module.hpp"

namespace qlix {

py::Ref make_serial_class(PyObject* module) { return py::ClassBuilder("Serial", module).build(); }

}  // namespace qlix

namespace qlix {
namespace {
py::Ref not_yet(PyObject* const*) { py::raise(PyExc_NotImplementedError, "not built yet"); }
}  // namespace
py::Ref make_create_serial_instance(PyObject* module) { return py::make_function({"create_serial_instance", {py::var_args("args"), py::var_kw("kwargs")}, not_yet}, nullptr, module); }
}  // namespace qlix
