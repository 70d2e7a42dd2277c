// The sketch module's object layouts and the helpers its two types share.
#pragma once

#include <Python.h>

#include <cstdint>

#include "groupsketch.hpp"
#include "owned.hpp"
#include "sketch.hpp"
#include "sketchformat.hpp"

namespace vornel {

// Each instance carries a lock: its stores grow while the thread is detached, so two
// threads adding to one sketch must take turns, with or without a GIL.
struct SketchObject {
    PyObject_HEAD
    PyMutex lock;
    Mapping map;
    int64_t max_buckets;  // 0: no limit
    SketchCore core;
};

struct GroupedSketchObject {
    PyObject_HEAD
    PyMutex lock;
    Mapping map;
    int64_t max_buckets;
    GroupedCore core;
};

extern PyTypeObject SketchType;
extern PyTypeObject GroupedSketchType;

// Holds one object's lock, or two in address order (a merge of a with b while another
// thread merges b with a must not deadlock); PyMutex_Lock detaches while it waits.
class Locked {
public:
    Locked(PyMutex *a, PyMutex *b = nullptr) noexcept;
    ~Locked();
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    PyMutex *first_, *second_;
};

// relative_accuracy and max_buckets as the constructors take them.
int parse_mapping(PyObject *accuracy, Mapping &out) noexcept;
int parse_max_buckets(PyObject *obj, int64_t &out) noexcept;
PyObject *max_buckets_object(int64_t max_buckets) noexcept;

// A q in [0, 1] (ValueError otherwise, NaN included).
int parse_q(PyObject *obj, double &q) noexcept;
// qs as a new contiguous float64 array of one dimension, every q checked.
Ref q_array(PyObject *qs) noexcept;
// np.asarray(obj, dtype) (dtype null: NumPy's choice): the fallback for inputs without a
// buffer.
Ref as_array(PyObject *obj, const char *dtype) noexcept;
// A new C-contiguous NumPy array of the shape and dtype ("float64", "int64"), its data
// pointer through out.
Ref new_array(const char *dtype, Py_ssize_t n0, Py_ssize_t n1, void *&out) noexcept;

// Refusals shared by both types.
int mismatch(const Mapping &a, int64_t mb_a, const Mapping &b, int64_t mb_b) noexcept;
int text_refused(PyObject *values) noexcept;

// vornel.state.dumps(self) as the argument of loads: what __reduce__ returns.
PyObject *reduce_through_state(PyObject *self) noexcept;

// The payload of the stored form, and objects made from a checked payload.
PyObject *sketch_payload(SketchObject *self) noexcept;
PyObject *grouped_payload(GroupedSketchObject *self) noexcept;
PyObject *sketch_from_payload(const unsigned char *data, const SketchInfo &info) noexcept;
PyObject *grouped_from_payload(const unsigned char *data, const SketchInfo &info) noexcept;

}  // namespace vornel
