// Serial: a pyserial-like port over one channel of a QLIX adapter, and
// create_serial_instance, which picks it or an ordinary pyserial port by name.
#include "module.hpp"
#include "py/arrays.hpp"

namespace qlix {

namespace {

py::Name n_handle{"_Serial__handle"};
py::Name n_split{"split"};
py::Name n_startswith{"startswith"};
py::Name n_open_serial_channel{"open_serial_channel"};
py::Name n_read_until{"read_until"};
py::Name n_is_open{"is_open"};
py::Name n_in_waiting{"in_waiting"};
py::Name n_flush_input{"flush_input"};
py::Name n_flush_output_camel{"flushOutput"};
py::Name n_port{"port"};

py::KwNames kw_open_serial_channel{n_serial_number, n_channel, n_baudrate, n_timeout};

// The channel's own read and write, called directly when they are the module's.
py::Member m_read{n_read};
py::Member m_write{n_write};

constexpr const char* kNameFormat =
    "Device name must be \"QLIXANYSxx\" or \"QLIXHHHHHHHHHHHHSxx\" format, where \"xx\" are decimal digit(s).";

py::Ref handle(PyObject* self) { return py::getattr(self, n_handle); }

// The keywords of pyserial's Serial that a QLIX channel accepts and ignores.
constexpr const char* kIgnoredKeywords[] = {"bytesize", "parity",        "stopbits",           "xonxoff",  "rtscts",
                                            "dsrdtr",   "write_timeout", "inter_byte_timeout", "exclusive"};
// The ones Serial takes itself.
constexpr const char* kOwnKeywords[] = {"port", "baudrate", "timeout"};

template <std::size_t N>
bool listed(PyObject* key, const char* const (&names)[N]) {
    for (const char* name : names)
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) return true;
    return false;
}

// A keyword that pyserial's Serial does not take is refused as Python refuses
// an unknown keyword, so that a misspelt `timout` cannot pass in silence.
void refuse_unknown_keywords(PyObject* kwargs, const char* function, bool own_too) {
    if (!kwargs) return;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (listed(key, kIgnoredKeywords) || (own_too && listed(key, kOwnKeywords))) continue;
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
        py::throw_error();
    }
}

// bytes(value), exactly as the built-in does it (for the host's own array
// type, which has no __bytes__, that is the copy of its buffer).
py::Ref to_bytes(py::Borrowed value) {
    if (py::is_host_array(value)) return py::check(PyBytes_FromObject(value));
    return py::call(reinterpret_cast<PyObject*>(&PyBytes_Type), value);
}

// --- Serial --------------------------------------------------------------------

py::Ref serial_init(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* port = a[1];
    refuse_unknown_keywords(a[4], "Serial.__init__", false);
    py::Ref timeout = py::to_float(a[3]);
    py::require_str(port, "port");
    PyObject* baudrate = py::require_int(a[2], "baudrate");

    py::Ref u_port = py::call_method(port, n_upper);
    Py_ssize_t u_length = py::check_size(PyUnicode_GetLength(u_port.get()));
    if (asserting()) {
        bool qlix =
            py::check_size(PyUnicode_Tailmatch(u_port.get(), py::str("QLIX").get(), 0, PY_SSIZE_T_MAX, -1)) == 1;
        if (!qlix || PyUnicode_GET_LENGTH(port) < 9)
            assertion_failed(py::Code{"port_name_unsupported", {{"port_name", port}}}, "Device name \"", port,
                             "\" not supported.");
    }
    py::Ref rest = py::check(PyUnicode_Substring(u_port.get(), u_length < 4 ? u_length : 4, u_length));
    py::Ref tokens = py::check(PyUnicode_Split(rest.get(), py::str("S").get(), -1));
    Py_ssize_t ntokens = PyList_GET_SIZE(tokens.get());
    if (asserting() && ntokens != 2)
        assertion_failed(py::Code{"port_name_invalid", {{"port_name", port}}}, kNameFormat);
    if (ntokens < 2) py::raise(PyExc_IndexError, "list index out of range");
    PyObject* serial_nb = PyList_GET_ITEM(tokens.get(), 0);
    PyObject* channel_str = PyList_GET_ITEM(tokens.get(), 1);

    py::Ref channel;
    py::Fetched error =
        py::catch_only(PyExc_ValueError, channel, [&] { return PyLong_FromUnicodeObject(channel_str, 10); });
    if (error) {
        PyErr_SetString(PyExc_ValueError, kNameFormat);
        py::raise_in_context(error, {"port_name_invalid", {{"port_name", port}}});
    }

    py::Ref manager = global(g_resource_manager);
    py::Ref channel_obj = py::call_method_kw(manager, n_open_serial_channel, kw_open_serial_channel, serial_nb,
                                             channel.get(), baudrate, timeout.get());
    py::setattr(self, n_handle, channel_obj);
    return py::none();
}

py::Ref serial_enter(PyObject* const* a) { return py::Ref::borrow(a[0]); }

py::Ref serial_exit(PyObject* const* a) {
    py::call_method(a[0], n_close);
    return py::none();
}

// Members that call one channel method without arguments and return None.
template <py::Name& method>
py::Ref forward_void(PyObject* const* a) {
    py::call_method(handle(a[0]), method);
    return py::none();
}

py::Ref serial_read(PyObject* const* a) {
    PyObject* size = py::require_int(a[1], "size");
    return to_bytes(m_read.call(handle(a[0]), size));
}

py::Ref serial_write(PyObject* const* a) { return py::result_int(m_write.call(handle(a[0]), a[1])); }

py::Ref serial_read_until(PyObject* const* a) {
    return to_bytes(py::call_method(handle(a[0]), n_read_until, a[1], a[2]));
}

py::Ref serial_baudrate_get(PyObject* const* a) { return py::getattr(handle(a[0]), n_baudrate); }

py::Ref serial_baudrate_set(PyObject* const* a) {
    PyObject* value = py::require_int(a[1], "value");
    py::setattr(handle(a[0]), n_baudrate, value);
    return py::none();
}

py::Ref serial_port_get(PyObject* const* a) { return py::result_str(py::getattr(handle(a[0]), n_name)); }

py::Ref serial_is_open_get(PyObject* const* a) { return py::getattr(handle(a[0]), n_is_open); }

py::Ref serial_in_waiting_get(PyObject* const* a) { return py::result_int(py::getattr(handle(a[0]), n_in_waiting)); }

py::Ref serial_timeout_get(PyObject* const* a) { return py::getattr(handle(a[0]), n_timeout); }

py::Ref serial_timeout_set(PyObject* const* a) {
    py::Ref value = py::to_float(a[1]);
    py::setattr(handle(a[0]), n_timeout, value);
    return py::none();
}

py::Ref serial_flush_output(PyObject* const*) { return py::none(); }

py::Ref serial_flush(PyObject* const* a) {
    py::call_method(a[0], n_flush_output_camel);
    return py::none();
}

// --- create_serial_instance ------------------------------------------------------

bool starts_with(py::Borrowed text, const char* prefix) {
    return py::truth(py::call_method(text, n_startswith, py::Ref(py::str(prefix)).get()));
}

// `_, sn, channel = fields`, with the host's unpacking errors.
void unpack_three(py::Borrowed fields, py::Ref out[3]) {
    py::Ref it;
    if (py::catch_only(PyExc_TypeError, it, [&] { return PyObject_GetIter(fields); })) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(fields)->tp_name);
        py::throw_error();
    }
    for (Py_ssize_t i = 0; i < 3; ++i) {
        out[i] = py::next(it);
        if (!out[i]) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", i);
            py::throw_error();
        }
    }
    if (!py::next(it)) return;
    // From 3.14 on the host also names the count when it is known.
    if (Py_Version >= 0x030E0000 && (PyList_CheckExact(fields) || PyTuple_CheckExact(fields)))
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 3, got %zd)", PySequence_Size(fields));
    else PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
    py::throw_error();
}

py::Ref create_serial_instance(PyObject* const* a) {
    py::Ref args = py::Ref::borrow(a[0]);
    PyObject* kwargs = a[1];  // the function's own copy of the caller's keywords
    refuse_unknown_keywords(kwargs, "create_serial_instance", true);

    py::Ref port;
    if (PyTuple_GET_SIZE(args.get()) > 0) {
        port = py::call_method(PyTuple_GET_ITEM(args.get(), 0), n_upper);
    } else {
        PyObject* given = PyDict_GetItemWithError(kwargs, n_port);
        if (!given) {
            if (PyErr_Occurred()) py::throw_error();
            py::raise_text(PyExc_ValueError, py::Code{"port_missing"}, "Argument \"port\" is missing.");
        }
        port = py::call_method(given, n_upper);
    }

    if (starts_with(port, "DUDAZE")) {
        py::Ref fields = py::call_method(port, n_split, py::str(":").get());
        py::Ref parts[3];
        unpack_three(fields, parts);
        py::Ref prefixed = py::check(PyNumber_Add(py::str("QLIX").get(), parts[1].get()));
        port = py::check(PyNumber_Add(prefixed.get(), parts[2].get()));
        int has_port = py::check(PyDict_Contains(kwargs, n_port));
        if (has_port) {
            py::check(PyDict_SetItem(kwargs, n_port, port.get()));
        } else {
            Py_ssize_t n = PyTuple_GET_SIZE(args.get());
            py::Ref rest = py::check(PyTuple_GetSlice(args.get(), 1, n));
            py::Ref head = py::check(PyTuple_Pack(1, port.get()));
            args = py::check(PySequence_Concat(head.get(), rest.get()));
        }
    }

    py::Ref cls = global(starts_with(port, "QLIX") ? g_serial : g_normal_serial);
    return py::check(PyObject_Call(cls.get(), args.get(), kwargs));
}

}  // namespace

py::Ref make_serial_class(PyObject* module) {
    using py::Default;
    using py::Param;
    const Param self{"self"};
    return py::ClassBuilder("Serial", module)
        .method({"__init__",
                 {self, Param{"port", "str"}, Param{"baudrate", "int", Default::integer(9600)},
                  Param{"timeout", "float", Default::real(0.0)}, py::var_kw("kwargs")},
                 serial_init})
        .method({"__enter__", {self}, serial_enter})
        .method({"__exit__", {self, Param{"exc_type"}, Param{"exc_val"}, Param{"exc_tb"}}, serial_exit})
        .method({"close", {self}, forward_void<n_close>})
        .method({"read", {self, Param{"size", "int", Default::integer(1)}}, serial_read, "bytes"})
        .method({"write", {self, Param{"data"}}, serial_write, "int"})
        .method({"read_until",
                 {self, Param{"expected", nullptr, Default::bytes("\n")}, Param{"size", nullptr, Default::none()}},
                 serial_read_until,
                 "bytes"})
        .property({"baudrate", {self}, serial_baudrate_get},
                  py::FunctionDef{"baudrate", {self, Param{"value", "int"}}, serial_baudrate_set})
        .property({"port", {self}, serial_port_get, "str"})
        .property({"is_open", {self}, serial_is_open_get})
        .property({"in_waiting", {self}, serial_in_waiting_get, "int"})
        .property({"timeout", {self}, serial_timeout_get, "float"},
                  py::FunctionDef{"timeout", {self, Param{"value", "float"}}, serial_timeout_set})
        .method({"flushInput", {self}, forward_void<n_flush_input>})
        .method({"flushOutput", {self}, serial_flush_output})
        .method({"flush", {self}, serial_flush})
        .method({"reset_input_buffer", {self}, forward_void<n_reset_input_buffer>})
        .build();
}

py::Ref make_create_serial_instance(PyObject* module) {
    return py::make_function({"create_serial_instance",
                              {py::var_args("args"), py::var_kw("kwargs")},
                              create_serial_instance,
                              "Union[Serial, NormalSerial]"},
                             nullptr, module);
}

}  // namespace qlix
