#include "module.hpp"

namespace qlix {

py::Ref make_device_class(PyObject* module) { return py::ClassBuilder("_Device", module).build(); }

}  // namespace qlix
