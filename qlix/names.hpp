// The attribute, method and keyword names that more than one file of the
// module uses, declared once here; a name used by one file only is declared
// in that file. Each n_ name has one meaning everywhere: the text it interns.
#pragma once

#include "py/names.hpp"

namespace qlix {

using py::n_acquire;
using py::n_get;
using py::n_release;

inline py::Name n_baudrate{"baudrate"}, n_channel{"channel"}, n_channel_count{"channel_count"}, n_clear{"clear"},
    n_close{"close"}, n_device_channels{"_Device__channels"}, n_dunder_name{"__name__"}, n_input_data{"input_data"},
    n_name{"name"}, n_package_size{"PackageSize"}, n_read{"read"}, n_reset_input_buffer{"reset_input_buffer"},
    n_serial_number{"serial_number"}, n_timeout{"timeout"}, n_upper{"upper"}, n_values{"values"}, n_write{"write"};

}  // namespace qlix
