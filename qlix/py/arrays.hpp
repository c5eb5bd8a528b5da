// Slices and the host's array type, for the hot paths that cut packets and
// hand byte arrays around.
#pragma once

#include <cstring>

#include "core.hpp"

namespace qlix::py {

// The host's array.array type (imported on first use, kept for the process).
inline PyObject* host_array_type() {
    static PyObject* type = nullptr;
    if (!type) {
        Ref module = check(PyImport_ImportModule("array"));
        type = check(PyObject_GetAttrString(module.get(), "array")).release();
    }
    return type;
}

// An object's buffer seen as unsigned bytes, released at the end of the
// scope. False when the object gives no buffer for `flags` (the error is
// cleared) or one of other items: wider than a byte, or a format other than
// "B". A null format is "B", as the buffer protocol defines it.
class ByteView {
public:
    explicit ByteView(PyObject* o, int flags = PyBUF_FORMAT) {
        if (PyObject_GetBuffer(o, &view_, flags) < 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        bytes_ = view_.itemsize == 1 && (!view_.format || std::strcmp(view_.format, "B") == 0);
    }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() {
        if (held_ && !abandoned()) PyBuffer_Release(&view_);
    }

    explicit operator bool() const noexcept { return bytes_; }
    const unsigned char* data() const noexcept { return static_cast<const unsigned char*>(view_.buf); }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
    bool bytes_ = false;
};

// True for an exact array.array (of any typecode).
inline bool is_host_array(PyObject* o) { return reinterpret_cast<PyObject*>(Py_TYPE(o)) == host_array_type(); }

// True for an exact array.array of unsigned bytes (typecode "B").
inline bool is_host_byte_array(Borrowed o) { return is_host_array(o) && ByteView(o); }

// A new host array of unsigned bytes holding `size` bytes (null: zeros): the
// same object as array("B", those bytes) or a slice of such an array, made by
// repeating a one-byte array (no constructor arguments or slice bounds to
// work out).
inline Ref new_byte_array(const unsigned char* bytes, Py_ssize_t size) {
    static PyObject* one_zero = nullptr;  // array("B", [0])
    if (!one_zero) {
        Ref zero = check(PyBytes_FromStringAndSize("", 1));
        Ref code = check(PyUnicode_FromString("B"));
        PyObject* args[] = {code.get(), zero.get()};
        one_zero = check(PyObject_Vectorcall(host_array_type(), args, 2, nullptr)).release();
    }
    Ref result = check(PySequence_Repeat(one_zero, size));
    if (bytes && size > 0) {
        Py_buffer view;
        check(PyObject_GetBuffer(result.get(), &view, PyBUF_WRITABLE));
        std::memcpy(view.buf, bytes, static_cast<size_t>(size));
        PyBuffer_Release(&view);
    }
    return result;
}

// True when nothing but the caller's own reference can reach `o`: one
// reference and no weak references.
inline bool is_unshared(Borrowed o) noexcept {
    if (Py_REFCNT(o) != 1) return false;
    Py_ssize_t offset = Py_TYPE(o)->tp_weaklistoffset;
    if (offset <= 0) return offset == 0;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o.get()) + offset) == nullptr;
}

// seq[begin:end], exactly as PySequence_GetSlice makes it. For the host's
// arrays, bytes and lists, whose slicing cannot see the slice object, the
// slice objects for small non-negative bounds are made once and reused.
inline Ref get_slice(Borrowed seq, Py_ssize_t begin, Py_ssize_t end) {
    constexpr Py_ssize_t kFromZero = 2 + 256;  // seq[0:end] for end < kFromZero
    constexpr Py_ssize_t kSmall = 65;          // seq[begin:end] for both < kSmall
    static PyObject* from_zero[kFromZero] = {};
    static PyObject* small[kSmall][kSmall] = {};
    PyMappingMethods* m = Py_TYPE(seq)->tp_as_mapping;
    PyObject** slot = nullptr;
    bool builtin = reinterpret_cast<PyObject*>(Py_TYPE(seq)) == host_array_type() || PyBytes_CheckExact(seq) ||
                   PyByteArray_CheckExact(seq) || PyList_CheckExact(seq) || PyTuple_CheckExact(seq);
    if (builtin && m && m->mp_subscript && begin >= 0 && end >= 0) {
        if (begin == 0 && end < kFromZero) slot = &from_zero[end];
        else if (begin < kSmall && end < kSmall) slot = &small[begin][end];
    }
    if (!slot) return check(PySequence_GetSlice(seq, begin, end));
    if (!*slot) {
        Ref b = check(PyLong_FromSsize_t(begin));
        Ref e = check(PyLong_FromSsize_t(end));
        *slot = check(PySlice_New(b.get(), e.get(), nullptr)).release();
    }
    return check(m->mp_subscript(seq, *slot));
}

}  // namespace qlix::py
