// What the stream subsystem lends the grouped one: typed views, item conversion, result dicts.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "format.hpp"
#include "moments.hpp"

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

// Attached. On failure the buffer, if one was taken, is already released.
AcquireStatus acquire_view(PyObject *obj, ElemType e, TypedView &out) noexcept;

// Item conversion of the iterable path. Attached; may run Python code (__float__, parsing).
// Returns -1 with an exception set.
int item_to_double(PyObject *item, double &out) noexcept;

// An iterator over a double view's elements as Python floats. It owns the buffer from then
// on, so it stays valid even if Python code keeps it past the call. Returns a new reference.
PyObject *double_view_iter(TypedView &view) noexcept;

// A new result dict for r (the empty form when r is empty). Attached; -1/NULL on MemoryError.
PyObject *result_dict(const Moments &r) noexcept;

}  // namespace vornel
