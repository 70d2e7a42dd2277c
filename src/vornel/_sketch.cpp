// The module vornel._sketch: start-up, the helpers both sketch types share, and the
// functions behind the stored form (payload out, checked payload in).
#include <Python.h>

#include <cmath>
#include <cstring>

#include "errors.hpp"
#include "sketchobj.hpp"

namespace vornel {
namespace {

// numpy.asarray and numpy.empty, and vornel.state, bound at import for the process's life.
PyObject *np_asarray = nullptr;
PyObject *np_empty = nullptr;

// The k of recent accuracies: finding k for a fine accuracy scans all its buckets.
struct KCache {
    PyMutex lock{};
    double alpha[8] = {};
    int32_t k[8] = {};
    int next = 0;
};
KCache k_cache;

int32_t lookup_k(double alpha) noexcept {
    int32_t k = 0;
    PyMutex_Lock(&k_cache.lock);
    for (int i = 0; i < 8 && !k; ++i)
        if (k_cache.k[i] && k_cache.alpha[i] == alpha) k = k_cache.k[i];
    PyMutex_Unlock(&k_cache.lock);
    return k;
}

int32_t cached_k(double alpha) noexcept {
    int32_t k = lookup_k(alpha);
    if (k) return k;
    Py_BEGIN_ALLOW_THREADS
    k = k_for_accuracy(alpha);
    Py_END_ALLOW_THREADS
    if (k) {
        PyMutex_Lock(&k_cache.lock);
        k_cache.alpha[k_cache.next] = alpha;
        k_cache.k[k_cache.next] = k;
        k_cache.next = (k_cache.next + 1) % 8;
        PyMutex_Unlock(&k_cache.lock);
    }
    return k;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Shared helpers

Locked::Locked(PyMutex *a, PyMutex *b) noexcept : first_(a), second_(b == a ? nullptr : b) {
    if (second_ && second_ < first_) std::swap(first_, second_);
    PyMutex_Lock(first_);
    if (second_) PyMutex_Lock(second_);
}

Locked::~Locked() {
    if (second_) PyMutex_Unlock(second_);
    PyMutex_Unlock(first_);
}

int parse_mapping(PyObject *accuracy, Mapping &out) noexcept {
    const double alpha = accuracy ? PyFloat_AsDouble(accuracy) : 0.01;
    if (alpha == -1.0 && PyErr_Occurred()) return -1;
    if (!(alpha > 0.0 && alpha < 1.0)) {
        PyErr_Format(PyExc_ValueError, "relative_accuracy must lie in (0, 1), got %R", accuracy);
        return -1;
    }
    const int32_t k = cached_k(alpha);
    if (!k) {
        PyErr_Format(PyExc_ValueError,
                     "relative_accuracy %R is finer than the sketch supports (about 3.4e-07)",
                     accuracy);
        return -1;
    }
    out = mapping_of(k);
    return 0;
}

int parse_max_buckets(PyObject *obj, int64_t &out) noexcept {
    out = 0;
    if (!obj || obj == Py_None) return 0;
    if (PyBool_Check(obj) || !PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "max_buckets must be an int or None, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return -1;
    }
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < 1) {
        PyErr_Format(PyExc_ValueError, "max_buckets must be at least 1, got %lld", v);
        return -1;
    }
    out = v;
    return 0;
}

PyObject *max_buckets_object(int64_t max_buckets) noexcept {
    if (!max_buckets) Py_RETURN_NONE;
    return PyLong_FromLongLong(max_buckets);
}

int parse_q(PyObject *obj, double &q) noexcept {
    q = PyFloat_AsDouble(obj);
    if (q == -1.0 && PyErr_Occurred()) return -1;
    if (!(q >= 0.0 && q <= 1.0)) {
        PyErr_Format(PyExc_ValueError, "quantiles must lie in [0, 1], got %R", obj);
        return -1;
    }
    return 0;
}

Ref as_array(PyObject *obj, const char *dtype) noexcept {
    if (!dtype) return Ref::steal(PyObject_CallOneArg(np_asarray, obj));
    Ref type = Ref::steal(PyUnicode_FromString(dtype));
    if (!type) return Ref();
    return Ref::steal(PyObject_CallFunctionObjArgs(np_asarray, obj, type.get(), nullptr));
}

Ref new_array(const char *dtype, Py_ssize_t n0, Py_ssize_t n1, void *&out) noexcept {
    Ref shape = Ref::steal(n1 < 0 ? Py_BuildValue("(n)", n0) : Py_BuildValue("(nn)", n0, n1));
    Ref type = Ref::steal(PyUnicode_FromString(dtype));
    if (!shape || !type) return Ref();
    Ref arr = Ref::steal(PyObject_CallFunctionObjArgs(np_empty, shape.get(), type.get(), nullptr));
    if (!arr) return Ref();
    Py_buffer b;
    if (PyObject_GetBuffer(arr.get(), &b, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return Ref();
    out = b.buf;  // the array keeps its memory; the buffer is only a way to reach it
    PyBuffer_Release(&b);
    return arr;
}

Ref q_array(PyObject *qs) noexcept {
    Ref arr = as_array(qs, "float64");
    if (!arr) return Ref();
    Py_buffer b;
    if (PyObject_GetBuffer(arr.get(), &b, PyBUF_ND | PyBUF_C_CONTIGUOUS) < 0) return Ref();
    const bool flat = b.ndim <= 1;
    const Py_ssize_t n = b.len / 8;
    void *data;
    Ref out = flat ? new_array("float64", n, -1, data) : Ref();
    if (out) std::memcpy(data, b.buf, static_cast<size_t>(b.len));
    PyBuffer_Release(&b);
    if (!flat) {
        PyErr_SetString(PyExc_ValueError, "qs must be a number or a one-dimensional sequence");
        return Ref();
    }
    if (!out) return Ref();
    const auto *q = static_cast<const double *>(data);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!(q[i] >= 0.0 && q[i] <= 1.0)) {
            Ref bad = Ref::steal(PyFloat_FromDouble(q[i]));
            if (bad) PyErr_Format(PyExc_ValueError, "quantiles must lie in [0, 1], got %R", bad.get());
            return Ref();
        }
    }
    return out;
}

int mismatch(const Mapping &a, int64_t mb_a, const Mapping &b, int64_t mb_b) noexcept {
    if (a.k != b.k) {
        PyErr_Format(PyExc_ValueError,
                     "sketches of different accuracy do not merge (%d and %d buckets per power "
                     "of two)", static_cast<int>(a.k), static_cast<int>(b.k));
        return -1;
    }
    if (mb_a != mb_b) {
        PyErr_Format(PyExc_ValueError,
                     "sketches with different max_buckets do not merge (%lld and %lld; 0: none)",
                     static_cast<long long>(mb_a), static_cast<long long>(mb_b));
        return -1;
    }
    return 0;
}

int text_refused(PyObject *values) noexcept {
    if (!PyUnicode_Check(values) && !PyBytes_Check(values)) return 0;
    PyErr_Format(PyExc_TypeError, "values must be numbers, not %.200s", Py_TYPE(values)->tp_name);
    return -1;
}

PyObject *reduce_through_state(PyObject *self) noexcept {
    Ref state = Ref::steal(PyImport_ImportModule("vornel.state"));
    if (!state) return nullptr;
    Ref loads = Ref::steal(PyObject_GetAttrString(state.get(), "loads"));
    Ref blob = Ref::steal(PyObject_CallMethod(state.get(), "dumps", "O", self));
    if (!loads || !blob) return nullptr;
    return Py_BuildValue("(O(O))", loads.get(), blob.get());
}

namespace {

// ---------------------------------------------------------------------------------------
// Module functions: the stored form

// payload(sketch): the payload bytes of a QuantileSketch or GroupedQuantileSketch.
PyObject *sk_payload(PyObject *, PyObject *obj) {
    if (PyObject_TypeCheck(obj, &SketchType))
        return sketch_payload(reinterpret_cast<SketchObject *>(obj));
    if (PyObject_TypeCheck(obj, &GroupedSketchType))
        return grouped_payload(reinterpret_cast<GroupedSketchObject *>(obj));
    PyErr_Format(PyExc_TypeError, "expected a quantile sketch, not %.200s", Py_TYPE(obj)->tp_name);
    return nullptr;
}

// load(payload, grouped): the sketch of a payload, after checking every byte of it.
PyObject *sk_load(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "load() takes exactly 2 arguments");
        return nullptr;
    }
    const int grouped = PyObject_IsTrue(args[1]);
    if (grouped < 0) return nullptr;
    Py_buffer b;
    if (PyObject_GetBuffer(args[0], &b, PyBUF_SIMPLE) < 0) return nullptr;
    const auto *data = static_cast<const unsigned char *>(b.buf);
    SketchInfo info{};
    const SketchFault f = check_sketch(data, static_cast<size_t>(b.len), info);
    PyObject *out = nullptr;
    if (f != SketchFault::None)
        PyErr_SetString(PyExc_ValueError, sketch_fault_message(f));
    else if (!grouped && info.n_groups != 1)
        PyErr_SetString(PyExc_ValueError, "inconsistent sketch: a single sketch holds one group");
    else
        out = grouped ? grouped_from_payload(data, info) : sketch_from_payload(data, info);
    PyBuffer_Release(&b);
    return out;
}

PyMethodDef sketch_methods[] = {
    {"payload", sk_payload, METH_O, "payload(sketch): the stored form's payload (private)."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sk_load)), METH_FASTCALL,
     "load(payload, grouped): a sketch from a checked payload (private)."},
    {nullptr, nullptr, 0, nullptr},
};

int sketch_exec(PyObject *mod) {
    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    if (!np) return -1;
    PyObject *asarray = PyObject_GetAttrString(np.get(), "asarray");
    PyObject *empty = asarray ? PyObject_GetAttrString(np.get(), "empty") : nullptr;
    if (!empty) {
        Py_XDECREF(asarray);
        return -1;
    }
    Py_XSETREF(np_asarray, asarray);
    Py_XSETREF(np_empty, empty);
    if (PyType_Ready(&SketchType) < 0 || PyType_Ready(&GroupedSketchType) < 0) return -1;
    if (PyModule_AddObjectRef(mod, "QuantileSketch", reinterpret_cast<PyObject *>(&SketchType)) < 0)
        return -1;
    return PyModule_AddObjectRef(mod, "GroupedQuantileSketch",
                                 reinterpret_cast<PyObject *>(&GroupedSketchType));
}

PyModuleDef_Slot sketch_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(sketch_exec)},
    // Every instance has its own lock and the module keeps no state that changes after
    // import (but a small cache behind a lock of its own), so no GIL is needed.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef sketch_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vornel._sketch",
    .m_doc = "Mergeable quantile sketches with a relative-error guarantee (see vornel.sketch).",
    .m_size = 0,
    .m_methods = sketch_methods,
    .m_slots = sketch_slots,
};

}  // namespace
}  // namespace vornel

PyMODINIT_FUNC PyInit__sketch(void) { return PyModuleDef_Init(&vornel::sketch_def); }
