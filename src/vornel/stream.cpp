// CyStreamStats, typed view acquisition, item conversion and the result dict.
#include "stream.hpp"

#include "fold.hpp"
#include "kernels.hpp"
#include "module.hpp"
#include "objects.hpp"
#include "owned.hpp"

namespace vornel {

// ---------------------------------------------------------------------------------------
// Item conversion

int item_to_double(PyObject *item, double &out) noexcept {
    if (PyFloat_CheckExact(item)) {
        out = PyFloat_AS_DOUBLE(item);
        return 0;
    }
    if (PyLong_CheckExact(item)) {
        out = PyLong_AsDouble(item);
        return (out == -1.0 && PyErr_Occurred()) ? -1 : 0;
    }
    Ref f;
    if (PyUnicode_CheckExact(item) || PyBytes_CheckExact(item) || PyByteArray_CheckExact(item)) {
        f = Ref::steal(PyFloat_FromString(item));
    } else if (PyNumberMethods *nb = Py_TYPE(item)->tp_as_number; nb && nb->nb_float) {
        f = Ref::steal(nb->nb_float(item));
        if (f && !PyFloat_Check(f.get())) {
            PyErr_Format(PyExc_TypeError, "__float__ returned non-float (type %.200s)",
                         Py_TYPE(f.get())->tp_name);
            return -1;
        }
    } else {
        f = Ref::steal(PyNumber_Float(item));
    }
    if (!f) return -1;
    out = PyFloat_AS_DOUBLE(f.get());
    return 0;
}

// ---------------------------------------------------------------------------------------
// Python-level iterator over a double view

namespace {

struct DoubleViewIter {
    PyObject_HEAD
    Py_buffer buf;
    const char *data;
    int64_t length;
    int64_t stride;
    int64_t pos;
};

void dviter_dealloc(PyObject *self) {
    auto *it = reinterpret_cast<DoubleViewIter *>(self);
    PyBuffer_Release(&it->buf);
    Py_TYPE(self)->tp_free(self);
}

PyObject *dviter_next(PyObject *self) {
    auto *it = reinterpret_cast<DoubleViewIter *>(self);
    if (it->pos >= it->length) return nullptr;
    return PyFloat_FromDouble(load_at<double>(it->data, it->pos++, it->stride));
}

}  // namespace

PyTypeObject DoubleViewIterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornel._cycore.double_view_iterator",
    .tp_basicsize = sizeof(DoubleViewIter),
    .tp_dealloc = dviter_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = dviter_next,
};

PyObject *double_view_iter(TypedView &view) noexcept {
    auto *it = PyObject_New(DoubleViewIter, &DoubleViewIterType);
    if (!it) return nullptr;
    it->data = view.data();
    it->length = view.length();
    it->stride = view.stride();
    it->pos = 0;
    it->buf = view.take();  // the none view gives an empty Py_buffer, which releases as a no-op
    return reinterpret_cast<PyObject *>(it);
}

// ---------------------------------------------------------------------------------------
// Result dict

namespace {

// Steals v; false with an exception set when v is null or the insertion fails.
bool put(PyObject *d, PyObject *key, Ref v) noexcept {
    return v && PyDict_SetItem(d, key, v.get()) == 0;
}

}  // namespace

PyObject *result_dict(const Moments &r) noexcept {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject *dp = d.get();
    if (r.count == 0) {
        if (!put(dp, g.k_count, Ref::borrow(g.int_zero)) ||
            !put(dp, g.k_sum, Ref::borrow(g.float_zero)))
            return nullptr;
        for (PyObject *k : {g.k_mean, g.k_min, g.k_max, g.k_var, g.k_std})
            if (!put(dp, k, Ref::borrow(Py_None))) return nullptr;
        return d.release();
    }
    const Finalised f = moments_finalise(r);
    if (!put(dp, g.k_count, Ref::steal(PyLong_FromLongLong(r.count))) ||
        !put(dp, g.k_sum, Ref::steal(PyFloat_FromDouble(r.sum))) ||
        !put(dp, g.k_mean, Ref::steal(PyFloat_FromDouble(r.mean))) ||
        !put(dp, g.k_min, Ref::steal(PyFloat_FromDouble(r.min))) ||
        !put(dp, g.k_max, Ref::steal(PyFloat_FromDouble(r.max))) ||
        !put(dp, g.k_var, Ref::steal(PyFloat_FromDouble(f.var))) ||
        !put(dp, g.k_std, Ref::steal(PyFloat_FromDouble(f.std))))
        return nullptr;
    return d.release();
}

// ---------------------------------------------------------------------------------------
// CyStreamStats

namespace {

Moments &record(PyObject *self) noexcept { return stream_record(self); }

const Signature kAddValues{"add_values", "vornel._cycore.CyStreamStats.add_values", g.p_values, 1};
const Signature kMerge{"merge", "vornel._cycore.CyStreamStats.merge", g.p_other, 1};
const Signature kSetstate{VORNEL_SETSTATE_NAME, "vornel._cycore.CyStreamStats." VORNEL_SETSTATE_NAME,
                          g.p_state, 1};
constexpr const char *kResultEntry = "vornel._cycore.CyStreamStats.result";
constexpr const char *kReduceEntry = "vornel._cycore.CyStreamStats." VORNEL_REDUCE_NAME;

PyObject *stream_new(PyTypeObject *type, PyObject *, PyObject *) {
    // Arguments are ignored. An abstract subclass goes through object.__new__, which refuses.
    PyObject *self = PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)
                         ? PyBaseObject_Type.tp_new(type, g.empty_tuple, nullptr)
                         : type->tp_alloc(type, 0);
    if (!self) return nullptr;
    moments_init(record(self));
    return self;
}

void stream_dealloc(PyObject *self) { Py_TYPE(self)->tp_free(self); }

// Walks an exact list or tuple by index, re-reading the length each time. The record stays
// in locals while items are exact floats or ints (no Python code can run then) and is
// stored before any conversion that might call back into this instance.
int add_sequence(Moments &rec, PyObject *seq) noexcept {
    const bool is_list = PyList_CheckExact(seq);
    Moments m = rec;
    for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
        Ref owned;
        PyObject *item;
        if (is_list) {
            owned = Ref::steal(PyList_GetItemRef(seq, i));
            if (!owned) {
                rec = m;
                return -1;
            }
            item = owned.get();
        } else {
            item = PyTuple_GET_ITEM(seq, i);
        }
        double x;
        if (PyFloat_CheckExact(item)) {
            x = PyFloat_AS_DOUBLE(item);
        } else if (PyLong_CheckExact(item)) {
            x = PyLong_AsDouble(item);
            if (x == -1.0 && PyErr_Occurred()) {
                rec = m;
                return -1;
            }
        } else {
            rec = m;
            const int rc = item_to_double(item, x);
            owned = Ref();  // a last reference may run a finaliser; do it before reloading
            if (rc < 0) return -1;
            m = rec;
        }
        if (m.count == kMaxCount) {
            rec = m;
            return count_overflow();
        }
        moments_update(m, x);
    }
    rec = m;
    return 0;
}

// Any other iterable, updating the record in place: the iterator runs Python code per item.
int add_iterator(Moments &rec, PyObject *values) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(values));
    if (!it) return -1;
    const iternextfunc next = Py_TYPE(it.get())->tp_iternext;
    for (;;) {
        Ref item = Ref::steal(next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return -1;
                PyErr_Clear();
            }
            return 0;
        }
        double x;
        if (item_to_double(item.get(), x) < 0) return -1;
        if (rec.count == kMaxCount) return count_overflow();
        moments_update(rec, x);
    }
}

int add_values_body(PyObject *self, PyObject *values) noexcept {
    Moments &rec = record(self);
    TypedView view;
    if (acquire_view(values, ElemType::Double, view) != kAcquired) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        return while_handling(exc.get(), [&] {
            if (PyList_CheckExact(values) || PyTuple_CheckExact(values))
                return add_sequence(rec, values);
            return add_iterator(rec, values);
        });
    }
    if (!view.held()) return 0;  // None: nothing to add
    return fold_streams<false>(&view, &rec, 1);
}

PyObject *stream_add_values(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
    PyObject *values;
    if (bind_args(kAddValues, args, nargs, kwnames, &values) < 0 ||
        add_values_body(self, values) < 0) {
        add_traceback(kAddValues.entry);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *stream_merge(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    PyObject *other;
    if (bind_args(kMerge, args, nargs, kwnames, &other) < 0) {
        add_traceback(kMerge.entry);
        return nullptr;
    }
    if (!PyObject_TypeCheck(other, &StreamStatsType)) {
        raise_with(PyExc_TypeError, g.m_other_stream);
        add_traceback(kMerge.entry);
        return nullptr;
    }
    Moments &a = record(self);
    const Moments &b = record(other);
    if (!merge_fits(a, b)) {
        count_overflow();
        add_traceback(kMerge.entry);
        return nullptr;
    }
    PyThreadState *ts = PyEval_SaveThread();
    moments_merge(a, b);
    PyEval_RestoreThread(ts);
    Py_RETURN_NONE;
}

PyObject *stream_result(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) {
    if (bind_none("result", nargs, kwnames) < 0) return nullptr;
    PyObject *d = result_dict(record(self));
    if (!d) add_traceback(kResultEntry);
    return d;
}

PyObject *stream_reduce(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) {
    return refuse_reduce(kReduceEntry, nargs, kwnames);
}

PyObject *stream_setstate(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
    return refuse_setstate(kSetstate, args, nargs, kwnames);
}

PyMethodDef stream_methods[] = {
    {"add_values", as_cfunction(stream_add_values), METH_FASTCALL | METH_KEYWORDS,
     "\n        Fast path: buffer (numpy/memoryview) float64.\n        Fallback: iterable.\n        "},
    {"merge", as_cfunction(stream_merge), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"result", as_cfunction(stream_result), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {VORNEL_REDUCE_NAME, as_cfunction(stream_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {VORNEL_SETSTATE_NAME, as_cfunction(stream_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject StreamStatsType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornel._cycore.CyStreamStats",
    .tp_basicsize = sizeof(StreamObject),
    .tp_dealloc = stream_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_methods = stream_methods,
    .tp_new = stream_new,
};

}  // namespace vornel
