/* abi_layouts: layouts as this compiler sees them through the Python headers and
   pyconfig.h, each keyed by a Python expression that the running
   interpreter evaluates to the same number when the two agree. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>
#include <stddef.h>
#include <wchar.h>

static const struct { const char* expr; Py_ssize_t value; } layouts[] = {
    {"object.__basicsize__", sizeof(PyObject)},
    {"type.__basicsize__", sizeof(PyHeapTypeObject)},
    {"type.__itemsize__", sizeof(PyMemberDef)},
    {"type.__dictoffset__", offsetof(PyTypeObject, tp_dict)},
    {"type.__weakrefoffset__", offsetof(PyTypeObject, tp_weaklist)},
#if PY_VERSION_HEX >= 0x030C0000
    {"int.__basicsize__", offsetof(PyLongObject, long_value.ob_digit)},
#else
    {"int.__basicsize__", offsetof(PyLongObject, ob_digit)},
#endif
    {"int.__itemsize__", sizeof(digit)},
    {"float.__basicsize__", sizeof(PyFloatObject)},
    {"complex.__basicsize__", sizeof(PyComplexObject)},
    {"bytes.__basicsize__", offsetof(PyBytesObject, ob_sval) + 1},
    {"bytearray.__basicsize__", sizeof(PyByteArrayObject)},
    {"str.__basicsize__", sizeof(PyUnicodeObject)},
    {"tuple.__basicsize__", offsetof(PyTupleObject, ob_item)},
    {"list.__basicsize__", sizeof(PyListObject)},
    {"dict.__basicsize__", sizeof(PyDictObject)},
    {"set.__basicsize__", sizeof(PySetObject)},
    {"slice.__basicsize__", sizeof(PySliceObject)},
    {"memoryview.__basicsize__", offsetof(PyMemoryViewObject, ob_array)},
    {"BaseException.__basicsize__", sizeof(PyBaseExceptionObject)},
    {"BaseException.__dictoffset__", offsetof(PyBaseExceptionObject, dict)},
    {"OSError.__basicsize__", sizeof(PyOSErrorObject)},
    {"StopIteration.__basicsize__", sizeof(PyStopIterationObject)},
    {"types.FunctionType.__basicsize__", sizeof(PyFunctionObject)},
    {"types.FunctionType.__dictoffset__", offsetof(PyFunctionObject, func_dict)},
    {"types.FunctionType.__weakrefoffset__", offsetof(PyFunctionObject, func_weakreflist)},
    {"types.MethodType.__basicsize__", sizeof(PyMethodObject)},
    {"types.BuiltinFunctionType.__basicsize__", sizeof(PyCFunctionObject)},
    {"weakref.ref.__basicsize__", sizeof(PyWeakReference)},
    {"ctypes.sizeof(ctypes.c_long)", sizeof(long)},
    {"ctypes.sizeof(ctypes.c_wchar)", sizeof(wchar_t)},
    {"ctypes.sizeof(ctypes.c_size_t)", sizeof(size_t)},
    {"struct.calcsize('n')", sizeof(Py_ssize_t)},
    {"sys.hash_info.width // 8", sizeof(Py_hash_t)},
    {"sys.int_info.bits_per_digit", PyLong_SHIFT},
    {"sys.hexversion >> 16", PY_VERSION_HEX >> 16},
};

static PyObject* abi_layouts(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    PyObject* result = PyDict_New();
    for (size_t i = 0; result != NULL && i < sizeof layouts / sizeof layouts[0]; ++i) {
        PyObject* value = PyLong_FromSsize_t(layouts[i].value);
        if (value == NULL || PyDict_SetItemString(result, layouts[i].expr, value) < 0) {
            Py_CLEAR(result);
        }
        Py_XDECREF(value);
    }
    return result;
}

static PyMethodDef methods[] = {
    {"layouts", abi_layouts, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "abi_layouts", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_abi_layouts(void) {
    return PyModule_Create(&module);
}
