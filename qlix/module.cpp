// Loading rules, module globals in order of definition, and the self-test.
//
// The module can be loaded into one interpreter per process only, so what it
// keeps between calls (the module object, interned names, the assertion
// switch) lives in static storage rather than in a per-module state block: a
// second creation request returns the first module object, and CPython resets
// a module's state pointer whenever a create slot hands back a module.
#include "module.hpp"

#include "link.hpp"

namespace qlix {

namespace {

PyObject* s_module = nullptr;    // strong; the created module
PyObject* s_executed = nullptr;  // the module whose execution succeeded or is running
PyObject* s_failed = nullptr;    // strong; a module whose execution failed (see module_exec)
int64_t s_interpreter = -1;      // id of the interpreter that created it
bool s_asserting = true;

py::Name n_stderr{"stderr"};

PyObject* s_host_time = nullptr;
PyObject* s_host_sleep = nullptr;

void copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    py::Ref value = py::optional_attr(spec, py::interned(from));
    if (!value || (!allow_none && value.get() == Py_None)) return;
    py::check(PyDict_SetItemString(dict, to, value.get()));
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1) py::throw_error();
        if (s_interpreter == -1) {
            s_interpreter = id;
        } else if (id != s_interpreter) {
            py::raise(PyExc_ImportError,
                      "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        }
        if (s_module) return Py_NewRef(s_module);
        py::Ref name = py::check(PyObject_GetAttrString(spec, "name"));
        py::Ref module = py::check(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        copy_spec_attr(spec, dict, "loader", "__loader__", true);
        copy_spec_attr(spec, dict, "origin", "__file__", true);
        copy_spec_attr(spec, dict, "parent", "__package__", true);
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false);
        s_module = Py_NewRef(module.get());
        return module.release();
    });
}

void set_global(PyObject* dict, const char* name, py::Borrowed value) {
    py::check(PyDict_SetItemString(dict, name, value));
}

py::Ref import(const char* name) { return py::check(PyImport_ImportModule(name)); }

// `from module import attr`
py::Ref import_from(py::Borrowed module, const char* attr) {
    if (py::Ref value = py::optional_attr(module, py::interned(attr))) return value;
    py::Ref module_name = py::getattr(module, n_dunder_name);
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", attr, module_name.get());
    py::throw_error();
}

// With OZU_QLIX_VIRTUAL set, the virtual adapters it names are plugged in, and
// the virtual USB library chosen, before the USB backend is loaded: programs
// and tools then run unchanged on virtual adapters.
void use_virtual_adapters() {
    static py::Name n_environ{"environ"}, n_use_environment{"use_environment"};
    py::Ref variables = py::getattr(import("os"), n_environ);
    py::Ref value = py::call_method(variables, n_get, py::str("OZU_QLIX_VIRTUAL").get());
    if (value.get() == Py_None || !py::truth(value)) return;
    py::call_method(import("ozu_qlix_sim"), n_use_environment);
}

// The library bindings, in order of definition.
void bind_libraries(PyObject* dict) {
    set_global(dict, "_array", import_from(import("array"), "array"));
    set_global(dict, "_deque", import_from(import("collections"), "deque"));
    set_global(dict, "_libusb", import("libusb_package"));
    set_global(dict, "NormalSerial", import_from(import("serial"), "Serial"));
    set_global(dict, "sys", import("sys"));
    py::Ref threading = import("threading");
    set_global(dict, "_Event", import_from(threading, "Event"));
    set_global(dict, "_Lock", import_from(threading, "Lock"));
    set_global(dict, "_Thread", import_from(threading, "Thread"));
    py::Ref time = import("time");
    set_global(dict, "_sleep", import_from(time, "sleep"));
    set_global(dict, "_now", import_from(time, "time"));
    py::Ref typing = import("typing");
    set_global(dict, "_Dict", import_from(typing, "Dict"));
    set_global(dict, "_List", import_from(typing, "List"));
    set_global(dict, "Union", import_from(typing, "Union"));
    set_global(dict, "_Callable", import_from(typing, "Callable"));
    set_global(dict, "_Optional", import_from(typing, "Optional"));
    set_global(dict, "_Iterable", import_from(typing, "Iterable"));
    set_global(dict, "_usb_core", import("usb.core"));
    set_global(dict, "_usb_back", import("usb.backend.libusb1"));
    set_global(dict, "_close_usb_device", import_from(import("usb.util"), "dispose_resources"));
}

// dict[name] for a namespace (module globals, builtins): NameError when missing.
py::Ref defined(PyObject* dict, py::Borrowed name) {
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        py::throw_error();
    }
    return py::Ref::borrow(v);
}

py::Ref dict_item(PyObject* dict, const char* name) { return defined(dict, py::interned(name)); }

// `with cm as target: body(target)`, with Python's exit semantics (for a
// context manager; a lock is held through py::with_lock).
template <class F>
void with_block(py::Borrowed cm, F&& body) {
    static py::Name n_enter{"__enter__"}, n_exit{"__exit__"};
    py::Ref exit = py::getattr(reinterpret_cast<PyObject*>(Py_TYPE(cm)), n_exit);
    py::Ref target = py::call_method(cm, n_enter);
    bool suppressed = false;
    py::on_error([&] { body(target.get()); },
                 [&](const py::Fetched& error) {
                     PyObject* exc = error.get();
                     if (!exc) return false;  // no Python error: a C++ one passes on
                     py::Ref tb = py::Ref::steal(PyException_GetTraceback(exc));
                     suppressed = py::truth(py::call(exit.get(), cm, reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc,
                                                     tb ? tb.get() : Py_None));
                     return suppressed;
                 });
    if (!suppressed) py::call(exit.get(), cm, Py_None, Py_None, Py_None);
}

// Runs when the module executes as the main program: lists the adapters and
// greets channels 1 to 4 of any adapter.
void self_test(PyObject* dict) {
    py::Ref serials = py::call(dict_item(dict, "list_serial_numbers").get());
    set_global(dict, "serials", serials);
    py::Ref sep = py::str(", ");
    py::Ref output = py::check(PyUnicode_Join(sep.get(), serials.get()));
    set_global(dict, "output", output);
    py::Ref print = dict_item(PyEval_GetBuiltins(), "print");
    py::call(print.get(), output.get());
    if (!py::truth(serials)) return;
    static py::KwNames kw_timeout{n_timeout};
    for (int i = 0; i < 4; ++i) {
        py::Ref index = py::integer(i);
        set_global(dict, "i", index);
        py::Ref port = py::check(PyUnicode_FromFormat("QLIXANYS%d", i + 1));
        set_global(dict, "_port", port);
        py::Ref one = py::integer(1);
        py::Ref com = py::call_kw(dict_item(dict, "Serial").get(), kw_timeout, port.get(), one.get());
        with_block(com, [&](PyObject* target) {
            set_global(dict, "com", target);
            py::Ref greeting = py::str("Hello, World!\n");
            py::call_method(target, n_write, greeting.get());
        });
    }
}

void execute(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);

    // Warn when the running interpreter is not the one the module was built for.
    if (Py_Version >> 16 != (PY_MAJOR_VERSION << 8 | PY_MINOR_VERSION)) {
        int major = static_cast<int>(Py_Version >> 24), minor = static_cast<int>((Py_Version >> 16) & 0xFF);
        py::Ref msg = py::check(
            PyUnicode_FromFormat("compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                 PY_MAJOR_VERSION, PY_MINOR_VERSION, "ozu_qlix", "does not match", major, minor));
        py::check(PyErr_WarnEx(nullptr, PyUnicode_AsUTF8(msg.get()), 1));
    }

    PyObject* modules = PyImport_GetModuleDict();
    int known = py::check(PyDict_Contains(modules, py::str("ozu_qlix").get()));
    if (!known) py::check(PyDict_SetItemString(modules, "ozu_qlix", module));

    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* debug = builtins ? PyDict_GetItemString(builtins, "__debug__") : nullptr;
    s_asserting = debug ? py::truth(debug) : true;

    use_virtual_adapters();
    bind_libraries(dict);
    py::Ref usb_back = dict_item(dict, "_usb_back");
    py::Ref libusb = dict_item(dict, "_libusb");
    py::Ref find_library = py::check(PyObject_GetAttrString(libusb.get(), "find_library"));
    static py::Name n_find_library{"find_library"};
    static py::KwNames kw_find_library{n_find_library};
    static py::Name n_get_backend{"get_backend"};
    py::Ref get_backend = py::getattr(usb_back, n_get_backend);
    set_global(dict, "_backend", py::call_kw(get_backend.get(), kw_find_library, find_library.get()));
    py::Ref usb_core = dict_item(dict, "_usb_core");
    set_global(dict, "_USBDevice", py::check(PyObject_GetAttrString(usb_core.get(), "Device")));
    set_global(dict, "_vid", py::integer(0x0483));
    set_global(dict, "_pid", py::integer(0x5750));

    set_global(dict, "_Device", make_device_class(module));
    set_global(dict, "_Channel", make_channel_class(module));
    py::Ref manager_cls = make_resource_manager_class(module);
    set_global(dict, "_ResourceManager", manager_cls);
    set_global(dict, "_resource_manager", py::call(manager_cls.get()));
    set_global(dict, "list_serial_numbers", make_list_serial_numbers(module));
    set_global(dict, "Serial", make_serial_class(module));
    set_global(dict, "create_serial_instance", make_create_serial_instance(module));
    set_global(dict, "get_hid_device", make_get_hid_device(module));
    set_global(dict, "list_qlix_names", make_list_qlix_names(module));
    register_fork_hook(module);

    py::Ref name = dict_item(dict, "__name__");
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name.get(), "__main__") == 0) self_test(dict);
}

int module_exec(PyObject* module) {
    if (s_executed) {
        if (s_executed == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ozu_qlix' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    s_executed = module;
    return py::guard<int>(-1, [&] {
        try {
            execute(module);
        } catch (const py::Error&) {
            // A failed import leaves nothing behind: a later import starts
            // again with a new module object.
            // Threads it already started (a failed self-test leaves its
            // adapter open) still read its globals, so it stays alive.
            s_executed = nullptr;
            if (s_module == module) {
                Py_XSETREF(s_failed, s_module);
                s_module = nullptr;
            }
            throw;
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    // Its state is per process (see above): an isolated sub-interpreter
    // refuses it before module_create runs, which rejects any other one.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // It relies on the GIL; a free-threaded interpreter enables it on import.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ozu_qlix",
    "Drive the channels of QLIX USB multi-channel serial adapters like serial ports.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* host_object(PyObject*& cache, const char* module_name, const char* name) {
    if (!cache) {
        py::Ref module = py::check(PyImport_ImportModule(module_name));
        cache = py::check(PyObject_GetAttrString(module.get(), name)).release();
    }
    return cache;
}

PyObject* host_time() { return host_object(s_host_time, "time", "time"); }
PyObject* host_sleep() { return host_object(s_host_sleep, "time", "sleep"); }
bool host_clock() { return global(g_sleep).get() == host_sleep() && global(g_now).get() == host_time(); }

PyObject* module_object() noexcept { return s_module; }

bool asserting() noexcept { return s_asserting; }

py::Ref global(py::Name& name) {
    PyObject* module = s_module ? s_module : s_failed;
    if (!module) {
        PyErr_SetString(PyExc_RuntimeError, "ozu_qlix is not initialised");
        py::throw_error();
    }
    return defined(PyModule_GetDict(module), name);
}

void write_stderr(py::Borrowed text) {
    py::Ref sys = global(g_sys);
    py::Ref err = py::getattr(sys, n_stderr);
    py::call_method(err, n_write, text);
}

}  // namespace qlix

PyMODINIT_FUNC PyInit_ozu_qlix(void) { return PyModuleDef_Init(&qlix::module_def); }
