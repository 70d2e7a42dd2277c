// Typed views: a one-dimensional strided window on a Python buffer of doubles or ints.
#pragma once

#include <Python.h>

#include <cstdint>

#include "format.hpp"

namespace vornel {

class ViewBuilder;

// A one-dimensional strided window on a buffer, released when the view goes.
class TypedView {
public:
    TypedView() noexcept = default;
    TypedView(const TypedView &) = delete;
    TypedView &operator=(const TypedView &) = delete;
    ~TypedView() { release(); }

    bool held() const noexcept { return held_; }  // false for the none view
    const char *data() const noexcept { return data_; }
    int64_t length() const noexcept { return length_; }
    int64_t stride() const noexcept { return stride_; }

    void release() noexcept {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&buf_);
        }
        data_ = nullptr;
        length_ = 0;
    }

    // Moves the buffer out (the new owner releases it); this view becomes the none view.
    Py_buffer take() noexcept {
        Py_buffer b = buf_;
        held_ = false;
        data_ = nullptr;
        length_ = 0;
        return b;
    }

private:
    friend class ViewBuilder;
    Py_buffer buf_{};
    bool held_ = false;
    const char *data_ = nullptr;
    int64_t length_ = 0;
    int64_t stride_ = 0;
};

enum AcquireStatus {
    kAcquired,       // a view, or the none view for None
    kFailed,         // exception set: TypeError only when obj has no buffer support
    kFormatFailed,   // exception set: a ValueError of format matching
};

enum class Access : uint8_t {
    Writable,  // the accumulators' rule: exporters of read-only memory refuse
    ReadOnly,  // memory maps, Dask chunks and Arrow arrays are read-only and must not be copied
};

// Attached. None gives the none view. On failure the buffer, if one was taken, is already
// released.
AcquireStatus acquire_view(PyObject *obj, ElemType e, TypedView &out,
                           Access access = Access::Writable) noexcept;

}  // namespace vornel
