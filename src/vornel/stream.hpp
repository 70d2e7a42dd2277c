// What the stream subsystem lends the grouped one: item conversion, the double-view iterator,
// result dicts.
#pragma once

#include <Python.h>

#include <cstdint>

#include "moments.hpp"
#include "view.hpp"

namespace vornel {

// Item conversion of the iterable path. Attached; may run Python code (__float__, parsing).
// Returns -1 with an exception set.
int item_to_double(PyObject *item, double &out) noexcept;

// An iterator over a double view's elements as Python floats. It owns the buffer from then
// on, so it stays valid even if Python code keeps it past the call. Returns a new reference.
PyObject *double_view_iter(TypedView &view) noexcept;

// A new result dict for r (the empty form when r is empty). Attached; -1/NULL on MemoryError.
PyObject *result_dict(const Moments &r) noexcept;

}  // namespace vornel
