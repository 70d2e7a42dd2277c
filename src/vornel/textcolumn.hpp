// A column of text as Arrow lays it out (validity bits, offsets, bytes), held for one call.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vornel {

// One key column of strings as Arrow lays it out: validity bits (or none), offsets (32- or
// 64-bit), the bytes; held as buffers for one call.
struct TextColumn {
    Py_buffer valid{}, offsets{}, data{};
    bool has_valid = false, wide = false, held[3] = {false, false, false};
    int64_t offset = 0;

    ~TextColumn() {
        if (held[0]) PyBuffer_Release(&valid);
        if (held[1]) PyBuffer_Release(&offsets);
        if (held[2]) PyBuffer_Release(&data);
    }
    bool null_at(int64_t i) const noexcept {
        const int64_t j = offset + i;
        return has_valid && !((static_cast<const uint8_t *>(valid.buf)[j >> 3] >> (j & 7)) & 1);
    }
    // The bytes of row i.
    const unsigned char *at(int64_t i, uint32_t &len) const noexcept {
        int64_t lo, hi;
        if (wide) {
            lo = static_cast<const int64_t *>(offsets.buf)[offset + i];
            hi = static_cast<const int64_t *>(offsets.buf)[offset + i + 1];
        } else {
            lo = static_cast<const int32_t *>(offsets.buf)[offset + i];
            hi = static_cast<const int32_t *>(offsets.buf)[offset + i + 1];
        }
        len = static_cast<uint32_t>(hi - lo);
        return static_cast<const unsigned char *>(data.buf) + lo;
    }
};

// Takes (validity or None, offsets, data, offset, wide) and checks that n rows fit.
inline int take_column(PyObject *t, int64_t n, TextColumn &c) noexcept {
    PyObject *valid, *offsets, *data;
    long long offset;
    int wide;
    if (!PyArg_ParseTuple(t, "OOOLp", &valid, &offsets, &data, &offset, &wide)) return -1;
    c.offset = offset;
    c.wide = wide;
    if (valid != Py_None) {
        if (PyObject_GetBuffer(valid, &c.valid, PyBUF_SIMPLE) < 0) return -1;
        c.held[0] = c.has_valid = true;
    }
    if (PyObject_GetBuffer(offsets, &c.offsets, PyBUF_SIMPLE) < 0) return -1;
    c.held[1] = true;
    if (PyObject_GetBuffer(data, &c.data, PyBUF_SIMPLE) < 0) return -1;
    c.held[2] = true;
    const int64_t width = wide ? 8 : 4;
    if (offset < 0 || (offset + n + 1) * width > c.offsets.len ||
        (c.has_valid && (offset + n + 7) / 8 > c.valid.len)) {
        PyErr_SetString(PyExc_ValueError, "key buffers shorter than their rows");
        return -1;
    }
    for (int64_t i = 0; i < n; ++i) {  // every row's bytes inside the data
        uint32_t len;
        const unsigned char *p = c.at(i, len);
        if (p < static_cast<const unsigned char *>(c.data.buf) ||
            p + len > static_cast<const unsigned char *>(c.data.buf) + c.data.len) {
            PyErr_SetString(PyExc_ValueError, "key offsets outside their data");
            return -1;
        }
    }
    return 0;
}

}  // namespace vornel
