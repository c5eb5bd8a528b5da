// What every subsystem of the module shares: the module object, its globals
// read at call time, the assertion switch, and the builders of the classes and
// functions, in the order the module defines them.
#pragma once

#include "py/args.hpp"
#include "py/classes.hpp"
#include "py/member.hpp"

namespace qlix {

// The module object (borrowed; it lives for the process).
PyObject* module_object() noexcept;

// The value of a module global, looked up when called (tests and users may
// replace globals). A missing global raises NameError.
// Prefixes: g_ keys given to global(), n_ attribute/method names, k_ keyword-only names, kw_ keyword tuples,
// s_ C++ state kept for the life of the process.
py::Ref global(py::Name& name);

// `self.name`, read through Python.
inline py::Ref attr(PyObject* self, py::Name& name) { return py::getattr(self, name); }

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

// Writes a text to the host's sys.stderr (the module global `sys`), as is.
void write_stderr(PyObject* text);

// Ends the reads of a channel whose adapter was lost: waiting ones wake, and
// from now on a read that finds the queue empty raises (channel.cpp).
void mark_adapter_lost(PyObject* channel);

// With the error of opening the pyusb device `dev` set: when it is the USB
// library's "access denied", "busy" or "not supported", replaces it with an
// error of the same type whose message names the cause and the fix, the
// original chained as its cause (link.cpp). Other errors stay as they are.
void explain_open_error(PyObject* dev);

// The life of an adapter (`_Device__state`): open until its close begins,
// closing while it stops its reader and releases its USB device, then closed.
// An object without that state (a stand-in) counts as open. Read under the
// GIL, with no Python code run, so that a check and what follows it are one
// step for other threads (link.cpp).
enum class DeviceState { open, closing, closed };
DeviceState device_state(PyObject* device);
inline bool device_is_open(PyObject* device) { return device_state(device) == DeviceState::open; }

// True for the error (an exception object) that a USB transfer of a closed
// adapter raises (link.cpp).
bool is_closed_adapter_error(PyObject* error);

// A wait for a reply was interrupted, so the reply may still come: the
// attribute `name` of `self` records until when (`_now()` + `timeout`), and
// time_left() gives what is left of it (None when nothing is pending, or the
// deadline has passed).
void set_deadline(PyObject* self, PyObject* name, PyObject* timeout);
py::Ref time_left(PyObject* self, PyObject* name);

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
