// QuantileSketch: the quantile sketch of one stream, fed from buffers or iterables.
#include <Python.h>

#include <limits>
#include <new>

#include "errors.hpp"
#include "sketchobj.hpp"
#include "view.hpp"

namespace vornel {
namespace {

constexpr int64_t kBatch = 1024;  // values converted from an iterable between locked adds

SketchObject *as_sketch(PyObject *o) noexcept { return reinterpret_cast<SketchObject *>(o); }

PyObject *sketch_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static const char *kw[] = {"relative_accuracy", "max_buckets", nullptr};
    PyObject *accuracy = nullptr, *max_buckets = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:QuantileSketch", const_cast<char **>(kw),
                                     &accuracy, &max_buckets))
        return nullptr;
    Mapping m;
    int64_t mb;
    if (parse_mapping(accuracy, m) < 0 || parse_max_buckets(max_buckets, mb) < 0) return nullptr;
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    SketchObject *o = as_sketch(self);
    o->lock = PyMutex{};
    o->map = m;
    o->max_buckets = mb;
    new (&o->core) SketchCore();
    o->core.top = kExponents * m.k;
    return self;
}

void sketch_dealloc(PyObject *self) {
    as_sketch(self)->core.release();
    Py_TYPE(self)->tp_free(self);
}

// Folds n doubles at data into the sketch, holding its lock, detached. Returns -1 with the
// exception set.
int add_doubles(SketchObject *self, const char *data, int64_t n, int64_t stride,
                bool detach) noexcept {
    Locked hold(&self->lock);
    const int64_t room = std::numeric_limits<int64_t>::max() - self->core.count;
    if (n > room && count_numbers(data, n, stride) > room) return count_overflow();
    int64_t taken;
    PyThreadState *ts = detach ? PyEval_SaveThread() : nullptr;
    taken = sketch_add(self->core, self->map, data, n, stride);
    sketch_collapse(self->core, self->max_buckets);
    if (ts) PyEval_RestoreThread(ts);
    if (taken < n) {
        PyErr_NoMemory();  // the values before stay added
        return -1;
    }
    return 0;
}

// The iterable path: items converted as float() converts them, in batches. The values
// before a failing item stay added.
int add_items(SketchObject *self, PyObject *values) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(values));
    if (!it) return -1;
    double batch[kBatch];
    for (bool done = false; !done;) {
        int64_t n = 0;
        while (n < kBatch) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            Ref f = item ? Ref::steal(PyNumber_Float(item.get())) : Ref();
            if (!f) {
                done = true;
                break;
            }
            batch[n++] = PyFloat_AS_DOUBLE(f.get());
        }
        PyObject *exc = PyErr_GetRaisedException();  // null at the end of the items
        if (n && add_doubles(self, reinterpret_cast<char *>(batch), n, 8, false) < 0) {
            Py_XDECREF(exc);
            return -1;
        }
        if (exc) {
            PyErr_SetRaisedException(exc);
            return -1;
        }
    }
    return 0;
}

PyObject *sketch_add_values(PyObject *self, PyObject *values) {
    if (text_refused(values) < 0) return nullptr;
    TypedView view;
    const AcquireStatus st = acquire_view(values, ElemType::Double, view, Access::ReadOnly);
    if (st == kAcquired) {
        if (add_doubles(as_sketch(self), view.data(), view.length(), view.stride(), true) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    if (st != kFailed || !PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();  // no buffer: walk it
    if (add_items(as_sketch(self), values) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *sketch_merge_method(PyObject *self_, PyObject *other_) {
    if (!PyObject_TypeCheck(other_, &SketchType)) {
        PyErr_Format(PyExc_TypeError, "other must be a QuantileSketch, not %.200s",
                     Py_TYPE(other_)->tp_name);
        return nullptr;
    }
    SketchObject *self = as_sketch(self_), *other = as_sketch(other_);
    if (mismatch(self->map, self->max_buckets, other->map, other->max_buckets) < 0)
        return nullptr;
    Locked hold(&self->lock, &other->lock);
    if (self->core.count > std::numeric_limits<int64_t>::max() - other->core.count) {
        count_overflow();
        return nullptr;
    }
    bool ok;
    Py_BEGIN_ALLOW_THREADS
    ok = sketch_merge(self->core, other->core);
    if (ok) sketch_collapse(self->core, self->max_buckets);
    Py_END_ALLOW_THREADS
    if (!ok) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

PyObject *sketch_quantile_method(PyObject *self_, PyObject *arg) {
    double q;
    if (parse_q(arg, q) < 0) return nullptr;
    SketchObject *self = as_sketch(self_);
    Locked hold(&self->lock);
    return PyFloat_FromDouble(sketch_quantile(self->core, self->map, q));
}

PyObject *sketch_quantiles_method(PyObject *self_, PyObject *qs) {
    Ref out = q_array(qs);
    if (!out) return nullptr;
    Py_buffer b;
    if (PyObject_GetBuffer(out.get(), &b, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    auto *v = static_cast<double *>(b.buf);
    SketchObject *self = as_sketch(self_);
    {
        Locked hold(&self->lock);
        for (Py_ssize_t i = 0; i < b.len / 8; ++i) v[i] = sketch_quantile(self->core, self->map, v[i]);
    }
    PyBuffer_Release(&b);
    return out.release();
}

PyObject *sketch_reduce(PyObject *self, PyObject *) { return reduce_through_state(self); }

PyObject *get_count(PyObject *self, void *) {
    Locked hold(&as_sketch(self)->lock);
    return PyLong_FromLongLong(as_sketch(self)->core.count);
}

PyObject *extreme(PyObject *self, bool want_max) noexcept {
    SketchObject *o = as_sketch(self);
    Locked hold(&o->lock);
    if (!o->core.count) return PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN());
    return PyFloat_FromDouble(want_max ? o->core.max : o->core.min);
}

PyObject *get_min(PyObject *self, void *) { return extreme(self, false); }
PyObject *get_max(PyObject *self, void *) { return extreme(self, true); }

PyObject *get_accuracy(PyObject *self, void *) {
    return PyFloat_FromDouble(as_sketch(self)->map.guarantee());
}

PyObject *get_max_buckets(PyObject *self, void *) {
    return max_buckets_object(as_sketch(self)->max_buckets);
}

PyObject *sketch_richcompare(PyObject *a, PyObject *b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(b, &SketchType))
        Py_RETURN_NOTIMPLEMENTED;
    SketchObject *x = as_sketch(a), *y = as_sketch(b);
    bool same;
    {
        Locked hold(&x->lock, &y->lock);
        same = x->map.k == y->map.k && x->max_buckets == y->max_buckets &&
               sketch_equal(x->core, y->core);
    }
    return PyBool_FromLong((op == Py_EQ) == same);
}

PyObject *sketch_repr(PyObject *self) {
    SketchObject *o = as_sketch(self);
    Ref acc = Ref::steal(PyFloat_FromDouble(o->map.guarantee()));
    if (!acc) return nullptr;
    Locked hold(&o->lock);
    return PyUnicode_FromFormat("<vornel.QuantileSketch count=%lld relative_accuracy=%R>",
                                static_cast<long long>(o->core.count), acc.get());
}

PyMethodDef sketch_methods[] = {
    {"add", sketch_add_values, METH_O,
     "add(values): adds the values of a 1-d float64 buffer (read-only ones too; the thread is "
     "detached) or of any iterable of numbers. NaN is skipped: it has no rank."},
    {"merge", sketch_merge_method, METH_O,
     "merge(other): adds another QuantileSketch's buckets; both must have the same accuracy "
     "and max_buckets (ValueError, nothing changed)."},
    {"quantile", sketch_quantile_method, METH_O,
     "quantile(q): the value of rank floor(q (n - 1)) within the relative accuracy; q = 0 and "
     "1 give min and max exactly; NaN when empty."},
    {"quantiles", sketch_quantiles_method, METH_O,
     "quantiles(qs): quantile(q) for each q, as a NumPy array."},
    {"__reduce__", sketch_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sketch_getset[] = {
    {"count", get_count, nullptr, "values added, infinities included, NaN not", nullptr},
    {"min", get_min, nullptr, "the smallest value (-0.0 below 0.0); NaN when empty", nullptr},
    {"max", get_max, nullptr, "the largest value; NaN when empty", nullptr},
    {"relative_accuracy", get_accuracy, nullptr,
     "the guarantee of the buckets chosen: at most the accuracy asked for", nullptr},
    {"max_buckets", get_max_buckets, nullptr, "the bucket limit, or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject SketchType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornel.QuantileSketch",
    .tp_basicsize = sizeof(SketchObject),
    .tp_dealloc = sketch_dealloc,
    .tp_repr = sketch_repr,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR(
        "QuantileSketch(relative_accuracy=0.01, max_buckets=None)\n\n"
        "Quantiles of one stream within a relative error: for q whose element x_q is a normal "
        "double, quantile(q) lies within relative_accuracy * |x_q| of it. Buckets only count, "
        "so the content (and the bytes of vornel.state.dumps) is the same for any split of the "
        "values into adds and merges, in any order, on any machine. With max_buckets=m, only "
        "the m highest non-empty buckets are kept and every lower one folds into the lowest "
        "kept: the guarantee is then lost for ranks that fall in the folded mass only."),
    .tp_richcompare = sketch_richcompare,
    .tp_methods = sketch_methods,
    .tp_getset = sketch_getset,
    .tp_new = sketch_new,
};

PyObject *sketch_payload(SketchObject *self) noexcept {
    Locked hold(&self->lock);
    const SketchCore &c = self->core;
    const uint64_t nb = cursor_buckets(BucketCursor(c));
    const size_t size = kSketchHeaderSize + group_bytes(nb);
    PyObject *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (!out) return nullptr;
    auto *p = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(out));
    p = write_header(p, SketchInfo{self->map.k, static_cast<uint64_t>(self->max_buckets), 1});
    write_group(p, c.count, c.min, c.max, BucketCursor(c), nb);
    return out;
}

PyObject *sketch_from_payload(const unsigned char *data, const SketchInfo &info) noexcept {
    Ref self = Ref::steal(SketchType.tp_alloc(&SketchType, 0));
    if (!self) return nullptr;
    SketchObject *o = as_sketch(self.get());
    o->lock = PyMutex{};
    o->map = mapping_of(info.k);
    o->max_buckets = static_cast<int64_t>(info.max_buckets);
    new (&o->core) SketchCore();
    o->core.top = kExponents * info.k;
    GroupReader r(data);
    uint32_t buckets;
    r.next(o->core.count, o->core.min, o->core.max, buckets);
    for (uint32_t t = 0; t < buckets; ++t) {
        int32_t ord;
        uint64_t count;
        r.bucket(ord, count);
        if (!sketch_put(o->core, ord, count)) return PyErr_NoMemory();
    }
    return self.release();
}

}  // namespace vornel
