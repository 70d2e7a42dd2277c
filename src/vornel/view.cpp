// Typed view acquisition: buffer checks and the messages of format matching.
#include "view.hpp"

namespace vornel {

class ViewBuilder {
public:
    static void adopt(TypedView &v, const Py_buffer &b) noexcept {
        v.buf_ = b;
        v.held_ = true;
    }
    static Py_buffer &buffer(TypedView &v) noexcept { return v.buf_; }
    static void finish(TypedView &v, int64_t stride) noexcept {
        const Py_buffer &b = v.buf_;
        v.data_ = static_cast<const char *>(b.buf);
        v.length_ = b.shape ? b.shape[0] : (b.itemsize ? b.len / b.itemsize : 0);
        v.stride_ = stride;
    }
};

namespace {

void raise_format_error(const FormatResult &r, ElemType e) noexcept {
    const ElemInfo info = elem_info(e);
    const int ch = static_cast<unsigned char>(r.ch);
    switch (r.status) {
    case FormatStatus::Match: return;
    case FormatStatus::Mismatch:
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     info.name, "'", r.desc);
        return;
    case FormatStatus::ExtraItem:
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
                     "end", "", r.desc);
        return;
    case FormatStatus::Offset:
        PyErr_Format(PyExc_ValueError,
                     "Buffer dtype mismatch; next field is at offset %zd but %zd expected",
                     static_cast<Py_ssize_t>(r.offset), static_cast<Py_ssize_t>(0));
        return;
    case FormatStatus::BigEndian:
        PyErr_SetString(PyExc_ValueError,
                        "Big-endian buffer not supported on little-endian compiler");
        return;
    case FormatStatus::BadChar:
        PyErr_Format(PyExc_ValueError,
                     "Does not understand character buffer dtype format string ('%c')", ch);
        return;
    case FormatStatus::ZChar:
        PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", ch);
        return;
    case FormatStatus::ExpectBrace:
        PyErr_SetString(PyExc_ValueError, "Buffer acquisition: Expected '{' after 'T'");
        return;
    case FormatStatus::RepeatedArray:
        PyErr_SetString(PyExc_ValueError, "Cannot handle repeated arrays in format string");
        return;
    case FormatStatus::SubarrayDims:
        PyErr_Format(PyExc_ValueError, "Expected %d dimension(s), got %zd", 0,
                     static_cast<Py_ssize_t>(r.ndims));
        return;
    case FormatStatus::ExpectComma:
        PyErr_Format(PyExc_ValueError, "Expected a comma in format string, got '%c'", ch);
        return;
    case FormatStatus::ShapeEnd:
        PyErr_SetString(PyExc_ValueError, "Unexpected end of format string, expected ')'");
        return;
    case FormatStatus::TooDeep:
        PyErr_SetString(PyExc_ValueError, "Buffer format string is too deeply nested or repetitive");
        return;
    }
}

}  // namespace

AcquireStatus acquire_view(PyObject *obj, ElemType e, TypedView &out, Access access) noexcept {
    out.release();
    if (obj == Py_None) return kAcquired;
    Py_buffer b;
    // Writable by default on purpose: exporters of read-only memory refuse here, with their
    // own error.
    const int flags = access == Access::Writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
    if (PyObject_GetBuffer(obj, &b, flags) < 0) return kFailed;
    ViewBuilder::adopt(out, b);  // from here every failure releases through out
    const Py_buffer &buf = ViewBuilder::buffer(out);
    const ElemInfo info = elem_info(e);
    if (buf.ndim != 1) {
        out.release();
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     1, buf.ndim);
        return kFailed;
    }
    const FormatResult fr = match_format(buf.format, e);
    if (fr.status != FormatStatus::Match) {
        out.release();
        raise_format_error(fr, e);
        return kFormatFailed;
    }
    if (buf.itemsize != static_cast<Py_ssize_t>(info.size)) {
        const size_t got = static_cast<size_t>(buf.itemsize);
        out.release();
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     got, got > 1 ? "s" : "", info.name, info.size, info.size > 1 ? "s" : "");
        return kFailed;
    }
    if (buf.len > 0) {
        if (buf.shape && buf.shape[0] > 1 && buf.suboffsets && !buf.strides) {
            out.release();
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return kFailed;
        }
        if (buf.suboffsets && buf.suboffsets[0] >= 0) {
            out.release();
            PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.",
                         0);
            return kFailed;
        }
    }
    ViewBuilder::finish(out, buf.strides ? buf.strides[0] : buf.itemsize);
    return kAcquired;
}

}  // namespace vornel
