// What every subsystem of the module shares: the module object, its globals
// read at call time, the assertion switch, and the builders of the classes and
// functions, in the order the module defines them.
#pragma once

#include "py/args.hpp"
#include "py/classes.hpp"
#include "py/member.hpp"
#include "names.hpp"

namespace qlix {

// The module object (borrowed; it lives for the process).
PyObject* module_object() noexcept;

// The value of a module global, looked up when called (tests and users may
// replace globals). A missing global raises NameError.
// Prefixes: g_ keys given to global(), n_ attribute, method and keyword names, kw_ keyword tuples,
// s_ C++ state kept for the life of the process.
py::Ref global(py::Name& name);

// The keys of the module globals the classes read, one each.
inline py::Name g_array{"_array"}, g_backend{"_backend"}, g_channel{"_Channel"},
    g_close_usb_device{"_close_usb_device"}, g_deque{"_deque"}, g_device{"_Device"}, g_event{"_Event"},
    g_get_hid_device{"get_hid_device"}, g_lock{"_Lock"}, g_normal_serial{"NormalSerial"}, g_now{"_now"}, g_pid{"_pid"},
    g_resource_manager{"_resource_manager"}, g_resource_manager_class{"_ResourceManager"}, g_serial{"Serial"},
    g_sleep{"_sleep"}, g_sys{"sys"}, g_thread{"_Thread"}, g_usb_core{"_usb_core"}, g_usb_device{"_USBDevice"},
    g_vid{"_vid"};

// An attribute of a standard-library module, imported on first use and kept
// in `cache` for the life of the process.
PyObject* host_object(PyObject*& cache, const char* module_name, const char* name);
// The host's time.time and time.sleep, which `_now` and `_sleep` are unless
// replaced. While `_now` is time.time, deadlines are taken on the monotonic
// clock (a wall clock set back must not lengthen a wait); a replaced `_now`
// is called, and its clock honoured.
PyObject* host_time();
PyObject* host_sleep();
// True while both clock globals are the host's own: then the module may sleep
// until a wake-up instead of calling `_sleep` in polls.
bool host_clock();

// `self.name`, read through Python.
inline py::Ref attr(py::Borrowed self, py::Name& name) { return py::getattr(self, name); }

// The assertion switch: the truth of __debug__ at import.
bool asserting() noexcept;

// Raises AssertionError with a message joined from pieces (see py::text).
template <class... P>
[[noreturn]] void assertion_failed(const P&... pieces) {
    py::raise_text(PyExc_AssertionError, pieces...);
}
[[noreturn]] inline void assertion_failed() {
    PyErr_SetNone(PyExc_AssertionError);
    py::throw_error();
}
// The same for checks of the module's own, carrying `code` (see py::Code).
template <class... P>
[[noreturn]] void assertion_failed(const py::Code& code, const P&... pieces) {
    py::raise_text(PyExc_AssertionError, code, pieces...);
}
[[noreturn]] inline void assertion_failed(const py::Code& code) {
    py::raise_coded(PyExc_AssertionError, code, nullptr);
}

// Writes a text to the host's sys.stderr (the module global `sys`), as is.
void write_stderr(py::Borrowed text);

// Class and function builders, one per subsystem file.
py::Ref make_device_class(PyObject* module);            // link.cpp
py::Ref make_channel_class(PyObject* module);           // channel.cpp
py::Ref make_resource_manager_class(PyObject* module);  // registry.cpp
py::Ref make_list_serial_numbers(PyObject* module);     // registry.cpp
py::Ref make_serial_class(PyObject* module);            // facade.cpp
py::Ref make_create_serial_instance(PyObject* module);  // facade.cpp
py::Ref make_get_hid_device(PyObject* module);          // registry.cpp
py::Ref make_list_qlix_names(PyObject* module);         // registry.cpp

}  // namespace qlix
