#include "module.hpp"

namespace qlix {

py::Ref make_resource_manager_class(PyObject* module) { return py::ClassBuilder("_ResourceManager", module).build(); }

}  // namespace qlix

namespace qlix {
namespace {
py::Ref not_yet(PyObject* const*) { py::raise(PyExc_NotImplementedError, "not built yet"); }
}  // namespace
py::Ref make_list_serial_numbers(PyObject* module) { return py::make_function({"list_serial_numbers", {}, not_yet}, nullptr, module); }
py::Ref make_get_hid_device(PyObject* module) { return py::make_function({"get_hid_device", {}, not_yet}, nullptr, module); }
py::Ref make_list_qlix_names(PyObject* module) { return py::make_function({"list_qlix_names", {}, not_yet}, nullptr, module); }
}  // namespace qlix
