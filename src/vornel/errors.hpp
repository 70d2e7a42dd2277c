// Exceptions both extensions raise the same way: made by calling their class with the message.
#pragma once

#include <Python.h>

#include <cstdint>

#include "owned.hpp"

namespace vornel {

// Raises cls(msg): the exception instance is made by calling its class, then set, so it
// chains onto the exception being handled like any raise. Always returns -1.
inline int raise_with(PyObject *cls, PyObject *msg) noexcept {
    Ref exc = Ref::steal(PyObject_CallOneArg(cls, msg));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    return -1;
}

inline int raise_with(PyObject *cls, const char *msg) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(msg));
    return text ? raise_with(cls, text.get()) : -1;
}

// "group id 7 out of range [0, 5)". Always returns -1.
inline int range_error(int64_t gid, int64_t n_groups) noexcept {
    Ref msg = Ref::steal(PyUnicode_FromFormat("group id %lld out of range [0, %lld)",
                                              static_cast<long long>(gid),
                                              static_cast<long long>(n_groups)));
    if (!msg) return -1;
    return raise_with(PyExc_ValueError, msg.get());
}

// A count would pass the largest signed 64-bit integer. Always returns -1.
inline int count_overflow() noexcept {
    return raise_with(PyExc_OverflowError, "count would exceed 2**63 - 1");
}

}  // namespace vornel
