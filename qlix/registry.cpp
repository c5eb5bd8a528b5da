// _ResourceManager: one open _Device per adapter serial number, and the
// module's discovery functions built on it.
#include <csignal>

#include "link.hpp"
#include "module.hpp"
#include "py/lock.hpp"

namespace qlix {

namespace {

py::Name n_devices{"_ResourceManager__devices"};
py::Name n_device_lock{"_ResourceManager__device_lock"};
py::Name n_find{"find"};
py::Name n_find_device{"find_device"};
py::Name n_get_device_by_serial_number{"get_device_by_serial_number"};
py::Name n_open_channel{"open_channel"};
py::Name n_id_vendor{"idVendor"};
py::Name n_id_product{"idProduct"};
py::Name n_backend{"backend"};
py::Name n_find_all{"find_all"};

py::KwNames kw_find_serial{n_id_vendor, n_id_product, n_backend, n_serial_number};
py::KwNames kw_find_all{n_id_vendor, n_id_product, n_backend, n_find_all};
py::KwNames kw_open_channel{n_channel, n_baudrate, n_timeout};

constexpr const char* kNotFound = "QLIX Device (VID=0x483, PID=0x5750) not found.";

// The first value of a registry table (insertion order), or an empty Ref.
py::Ref first_value(PyObject* table) {
    py::Ref values = py::call_method(table, n_values);
    py::Ref it = py::check(PyObject_GetIter(values.get()));
    return py::next(it);
}

// No attached adapter reports `serial_number`. The USB library's search
// passes over an adapter whose serial number it may not read (this user may
// not open it), so the error names why when there is one.
[[noreturn]] void not_found(PyObject* self, PyObject* serial_number) {
    py::Ref why = unreadable_adapter(py::call_method(self, n_find_device));
    py::Ref message =
        why ? py::text("QLIX Device (VID=0x483, PID=0x5750) with Serial Number \"", serial_number, "\" not found. ",
                       why)
            : py::text("QLIX Device (VID=0x483, PID=0x5750) with Serial Number \"", serial_number, "\" not found.");
    py::raise_coded(PyExc_AssertionError, {"not_found", {{"serial_number", serial_number}, {"reason", why}}},
                    message.get());
}

bool is_any(PyObject* serial_number) { return PyUnicode_CompareWithASCIIString(serial_number, "ANY") == 0; }

// --- _ResourceManager ----------------------------------------------------------

// pyusb's search by serial number reads each device's serial number under a
// bare `except:`, so an interrupt landing there (a real adapter answers in a
// few milliseconds of control transfers) would be swallowed: the open would
// say "not found" and the Ctrl-C be lost. On the main thread the search runs
// with SIGINT's handler held back: a SIGINT during it is noted, and the
// handler runs, with the frame it interrupted, once the search has ended.
template <class F>
py::Ref holding_interrupts(F&& search) {
    static py::Name n_getsignal{"getsignal"}, n_signal{"signal"}, n_setitem{"__setitem__"};
    py::Ref signal = py::check(PyImport_ImportModule("signal"));
    py::Ref set_handler = py::getattr(signal, n_signal);
    py::Ref sigint = py::integer(SIGINT);
    py::Ref handler = py::call_method(signal, n_getsignal, sigint.get());
    if (!PyCallable_Check(handler.get())) return search();  // the default action, or ignored
    py::Ref noted = py::check(PyDict_New());
    py::Ref note = py::getattr(noted, n_setitem);  // called as handler(signum, frame)
    // signal.signal works on the main thread of the main interpreter only, where alone handlers run.
    if (py::catch_only(PyExc_ValueError, [&] { py::call(set_handler, sigint.get(), note.get()); })) return search();
    auto release = [&] {
        py::call(set_handler, sigint.get(), handler.get());
        if (py::Ref frame = py::lookup(noted, sigint)) py::call(handler, sigint.get(), frame.get());
    };
    py::Ref found = py::on_error(search, release);
    release();
    return found;
}

py::Ref manager_find_device(PyObject* const* a) {
    PyObject* serial_number = py::require_str(a[0], "serial_number");
    py::Ref find = py::getattr(global(g_usb_core), n_find);
    py::Ref vid = global(g_vid), pid = global(g_pid), backend = global(g_backend);
    if (PyUnicode_GET_LENGTH(serial_number) != 0)
        return holding_interrupts([&] {
            return py::call_kw(find.get(), kw_find_serial, vid.get(), pid.get(), backend.get(), serial_number);
        });
    return py::call_kw(find.get(), kw_find_all, vid.get(), pid.get(), backend.get(), Py_True);
}

py::Ref manager_init(PyObject* const* a) {
    py::Ref table = py::check(PyDict_New());
    py::setattr(a[0], n_devices, table);
    py::setattr(a[0], n_device_lock, py::call(global(g_lock).get()));
    return py::none();
}

// The adapter registered for `serial_number` ("ANY": the first one), or an
// empty Ref. A registered adapter that has closed (its reader failed, or it was
// closed directly) is forgotten, and one still closing is waited for: handed
// out it would take no channel, and its USB device is not released yet.
py::Ref registered_open(py::Borrowed table, PyObject* serial_number, bool& wait) {
    for (;;) {
        py::Ref device;
        if (is_any(serial_number) && py::truth(table)) device = first_value(table);
        else device = py::lookup(table, serial_number);
        if (!device) return {};
        DeviceState state = device_state(device);
        if (state == DeviceState::open) return device;
        if (state == DeviceState::closing) {
            wait = true;
            return {};
        }
        py::Ref key = py::getattr(device, n_serial_number);
        py::Ref entry = py::lookup(table, key);
        if (!entry || entry.get() != device.get()) return {};  // registered under another key: left alone
        py::check(PyObject_DelItem(table, key.get()));
    }
}

py::Ref manager_get_device_by_serial_number(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* serial_number = py::require_str(a[1], "serial_number");
    py::Ref device;
    py::poll_until(
        limits::kRegistryRetry,
        [&](const py::Poll& poll) {
            bool wait = false;
            py::Ref unregistered;  // built but not registered: closed outside the lock
            device = py::on_error(
                [&] {
                    return py::with_lock(py::getattr(self, n_device_lock), [&](py::LockHold&) -> py::Ref {
                        py::Ref table = py::getattr(self, n_devices);
                        bool closing = false;
                        py::Ref registered = registered_open(table, serial_number, closing);
                        if (registered) return registered;
                        if (closing && !poll.expired()) {
                            wait = true;
                            return {};
                        }

                        py::Ref found;
                        if (is_any(serial_number)) {
                            py::Ref all = py::call_method(self, n_find_device);
                            py::Ref it = py::check(PyObject_GetIter(all.get()));
                            found = py::next(it);
                            if (!found)
                                assertion_failed(py::Code{"not_found",
                                                          {{"serial_number", serial_number}, {"reason", Py_None}}},
                                                 kNotFound);
                        } else {
                            // An empty serial number names no adapter (searching with it would list them all).
                            found = PyUnicode_GET_LENGTH(serial_number) == 0
                                        ? py::none()
                                        : py::call_method(self, n_find_device, serial_number);
                            if (found.get() == Py_None) not_found(self, serial_number);
                        }
                        py::Ref made = py::call(global(g_device).get(), self, found.get());
                        // An adapter that could not be registered (an interruption by
                        // Ctrl-C while its serial number is read) is closed again once
                        // the lock is released (its reader may be waiting for the
                        // lock): unregistered, it would keep its reader and its USB
                        // interface.
                        unregistered = made;
                        py::Ref key = py::getattr(made, n_serial_number);
                        py::check(PyObject_SetItem(table.get(), key.get(), made.get()));
                        unregistered = py::Ref();
                        return made;
                    });
                },
                [&] {
                    if (unregistered) py::call_method(unregistered, n_close);
                });
            return !wait;
        },
        [] {
            py::Ref pause = py::check(PyFloat_FromDouble(0.001));
            py::call(global(g_sleep).get(), pause.get());
        });
    return device;
}

// With an error set: clears it when it is the closed adapter's (the adapter
// failed to take a channel because it had closed meanwhile); raises any other.
void clear_if_closed_meanwhile() {
    py::Fetched error = py::Fetched::take();
    if (!is_closed_adapter_error(error.get())) error.restore_and_throw();
}

py::Ref manager_open_serial_channel(PyObject* const* a) {
    // The timeout is converted before the other arguments are examined.
    py::Ref timeout = py::to_float(a[4]);
    PyObject* serial_number = py::require_str(a[1], "serial_number");
    PyObject* channel = py::require_int(a[2], "channel");
    PyObject* baudrate = py::require_int(a[3], "baudrate");
    py::Ref upper = py::call_method(serial_number, n_upper);
    py::Ref opened;
    py::poll_until(limits::kRegistryRetry, [&](const py::Poll& poll) {
        py::Ref device = py::call_method(a[0], n_get_device_by_serial_number, upper.get());
        // The registry lock is not held while the channel opens.
        try {
            opened = py::call_method_kw(device, n_open_channel, kw_open_channel, channel, baudrate, timeout.get());
            return true;
        } catch (const py::Error&) {
            // The adapter closed before the channel was added to it (its last
            // channel was closed in another thread, or it was lost).
            if (poll.expired() || py::interrupted()) throw;
            clear_if_closed_meanwhile();
            return false;
        }
    });
    return opened;
}

// Forgets an adapter. Only the entry that is this very device goes: a stale
// device closed late must not unregister a newer one with the same serial
// number.
py::Ref manager_close_device(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* device = a[1];
    return py::with_lock(py::getattr(self, n_device_lock), [&](py::LockHold&) -> py::Ref {
        py::Ref table = py::getattr(self, n_devices);
        py::Ref key = py::getattr(device, n_serial_number);
        py::Ref registered = py::lookup(table, key);
        if (registered && registered.get() == device) py::check(PyObject_DelItem(table.get(), key.get()));
        return py::none();
    });
}

// --- discovery functions ---------------------------------------------------------

// A public entry point whose failure, in a thread the interpreter is about to
// end, waits for the end of the process (see hold_failure_at_exit).
template <py::Ref (*Body)(PyObject* const*)>
py::Ref held_at_exit(PyObject* const* a) {
    try {
        return Body(a);
    } catch (const py::Error&) {
        hold_failure_at_exit();
    }
}

py::Ref all_attached() {
    py::Ref all = py::call_method(global(g_resource_manager_class), n_find_device);
    return py::check(PyObject_GetIter(all.get()));
}

// The serial-number string of an attached adapter; reading it opens the
// device, so the USB library's refusals are explained.
py::Ref serial_number_of(py::Borrowed dev) {
    try {
        return py::getattr(dev, n_serial_number);
    } catch (const py::Error&) {
        explain_open_error(dev);
        throw;
    }
}

py::Ref list_serial_numbers(PyObject* const*) {
    py::Ref it = all_attached();
    py::Ref serial_numbers = py::check(PyList_New(0));
    while (py::Ref dev = py::next(it)) py::check(PyList_Append(serial_numbers.get(), serial_number_of(dev).get()));
    return serial_numbers;
}

py::Ref get_hid_device(PyObject* const* a) {
    PyObject* serial_number = py::require_str(a[0], "serial_number");
    return py::call_method(global(g_resource_manager), n_get_device_by_serial_number, serial_number);
}

py::Ref list_qlix_names(PyObject* const*) {
    py::Ref it = all_attached();
    py::Ref names = py::check(PyList_New(0));
    while (py::Ref dev = py::next(it)) {
        py::Ref serial_number = serial_number_of(dev);
        py::Ref count_obj;
        py::poll_until(limits::kRegistryRetry, [&](const py::Poll& poll) {
            py::Ref hid_dev = py::call(global(g_get_hid_device).get(), serial_number.get());
            try {
                count_obj = py::getattr(hid_dev, n_channel_count);
                return true;
            } catch (const py::Error&) {
                // Closed while it was asked (its last channel was closed in
                // another thread): asked again on the adapter the registry holds now.
                py::Fetched error = py::Fetched::take();
                if (poll.expired() || !error.matches(PyExc_Exception) || device_is_open(hid_dev))
                    error.restore_and_throw();
                return false;
            }
        });
        py::Ref count_index = py::check(PyNumber_Index(count_obj.get()));
        long long count = py::check_value(PyLong_AsLongLong(count_index.get()));
        for (long long i = 0; i < count; ++i)
            py::check(PyList_Append(names.get(), py::text("QLIX", serial_number, "S", i + 1).get()));
    }
    return names;
}

}  // namespace

void forget_registered(py::Borrowed devices, PyObject* keep) {
    py::Ref manager = global(g_resource_manager);
    py::Ref table = py::optional_attr(manager, n_devices);
    py::Ref lock = py::optional_attr(manager, n_device_lock);
    if (!table || !PyDict_Check(table.get())) return;  // a stand-in registry: left as it is
    if (lock) py::check(PyList_Append(keep, lock.get()));
    py::check(PyList_Append(keep, table.get()));
    py::Ref registered = py::check(PyDict_Values(table.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(registered.get()); ++i)
        py::check(PyList_Append(devices, PyList_GET_ITEM(registered.get(), i)));
    py::setattr(manager, n_devices, py::check(PyDict_New()));
    py::setattr(manager, n_device_lock, py::call(global(g_lock).get()));
}

py::Ref make_resource_manager_class(PyObject* module) {
    using py::Default;
    using py::Param;
    return py::ClassBuilder("_ResourceManager", module)
        .static_method({"find_device",
                        {Param{"serial_number", "str", Default::text("")}},
                        manager_find_device,
                        "_usb_core.Device"})
        .method({"__init__", {Param{"self"}}, manager_init})
        .method({"get_device_by_serial_number",
                 {Param{"self"}, Param{"serial_number", "str"}},
                 manager_get_device_by_serial_number,
                 "_Device"})
        .method({"open_serial_channel",
                 {Param{"self"}, Param{"serial_number", "str"}, Param{"channel", "int"}, Param{"baudrate", "int"},
                  Param{"timeout", "float"}},
                 held_at_exit<manager_open_serial_channel>,
                 "_Channel"})
        .method({"close_device", {Param{"self"}, Param{"device", "_Device"}}, manager_close_device})
        .build();
}

py::Ref make_list_serial_numbers(PyObject* module) {
    return py::make_function({"list_serial_numbers", {}, held_at_exit<list_serial_numbers>}, nullptr, module);
}

py::Ref make_get_hid_device(PyObject* module) {
    return py::make_function({"get_hid_device",
                              {py::Param{"serial_number", "str", py::Default::text("ANY")}},
                              held_at_exit<get_hid_device>,
                              "_Device"},
                             nullptr, module);
}

py::Ref make_list_qlix_names(PyObject* module) {
    return py::make_function({"list_qlix_names", {}, held_at_exit<list_qlix_names>, "_List[str]"}, nullptr, module);
}

}  // namespace qlix
