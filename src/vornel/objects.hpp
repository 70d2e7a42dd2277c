// Instance layouts of the two accumulator types, and the conversion of a group count.
// The state companion reads and writes records through these layouts; they are the only
// description of them.
#pragma once

#include <Python.h>

#include <cstdint>

#include "errors.hpp"
#include "moments.hpp"
#include "owned.hpp"

namespace vornel {

struct StreamObject {
    PyObject_HEAD
    Moments rec;
};

struct GroupedObject {
    PyObject_HEAD
    int64_t n_groups;
    Moments *aggs;  // n_groups records from PyMem_Malloc, never moved while the instance lives
};

inline Moments &stream_record(PyObject *self) noexcept {
    return reinterpret_cast<StreamObject *>(self)->rec;
}

inline GroupedObject *grouped(PyObject *self) noexcept {
    return reinterpret_cast<GroupedObject *>(self);
}

// A group count as a C int: ints by value, anything else through its type's __int__ slot
// only (a float truncates); OverflowError outside 32 bits, before the sign test.
inline int to_int32(PyObject *obj, int &out) noexcept {
    Ref converted;
    if (!PyLong_Check(obj)) {
        PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
        if (!nb || !nb->nb_int) return raise_with(PyExc_TypeError, "an integer is required");
        converted = Ref::steal(nb->nb_int(obj));
        if (!converted) return -1;
        PyObject *r = converted.get();
        if (!PyLong_Check(r)) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(r)->tp_name);
            return -1;
        }
        if (!PyLong_CheckExact(r) &&
            PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict subclass of int is deprecated, and may be removed in a future version of Python.",
                             Py_TYPE(r)->tp_name) < 0)
            return -1;
        obj = r;
    }
    out = PyLong_AsInt(obj);
    return (out == -1 && PyErr_Occurred()) ? -1 : 0;
}

// n_groups as CyGroupedStreamStats(n_groups) takes it: a positive 32-bit count.
inline int convert_n_groups(PyObject *obj, int64_t &out) noexcept {
    int n = 0;
    if (to_int32(obj, n) < 0) return -1;
    if (n <= 0) return raise_with(PyExc_ValueError, "n_groups must be > 0");
    out = n;
    return 0;
}

}  // namespace vornel
