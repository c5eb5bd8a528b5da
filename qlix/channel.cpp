#include "module.hpp"

namespace qlix {

py::Ref make_channel_class(PyObject* module) { return py::ClassBuilder("_Channel", module).build(); }

}  // namespace qlix
