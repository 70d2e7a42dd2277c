// CyGroupedStreamStats: one moment record per group id, fed from id/value pairs.
#include "fold.hpp"
#include "kernels.hpp"
#include "module.hpp"
#include "moments.hpp"
#include "objects.hpp"
#include "owned.hpp"
#include "stream.hpp"

namespace vornel {
namespace {

#define VORNEL_GROUPED "vornel._cycore.CyGroupedStreamStats."

const Signature kCinit{"__cinit__", VORNEL_GROUPED "__cinit__", g.p_n_groups, 1};
const Signature kAdd{"add", VORNEL_GROUPED "add", g.p_add, 2};
const Signature kMerge{"merge", VORNEL_GROUPED "merge", g.p_other, 1};
const Signature kSetstate{VORNEL_SETSTATE_NAME, VORNEL_GROUPED VORNEL_SETSTATE_NAME, g.p_state, 1};
constexpr const char *kToDictEntry = VORNEL_GROUPED "to_dict";
constexpr const char *kResultArraysEntry = VORNEL_GROUPED "result_arrays";
constexpr const char *kReduceEntry = VORNEL_GROUPED VORNEL_REDUCE_NAME;

// ---------------------------------------------------------------------------------------
// Creation and destruction

int init_groups(GroupedObject *self, PyObject *arg) noexcept {
    if (convert_n_groups(arg, self->n_groups) < 0) return -1;
    // n_groups < 2^31 records of 48 bytes: the byte count cannot overflow.
    const size_t bytes = static_cast<size_t>(self->n_groups) * sizeof(Moments);
    self->aggs = static_cast<Moments *>(PyMem_Malloc(bytes));
    if (!self->aggs) {
        PyErr_NoMemory();
        return -1;
    }
    for (int64_t i = 0; i < self->n_groups; ++i) moments_init(self->aggs[i]);
    return 0;
}

PyObject *grouped_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    Ref self = Ref::steal(PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)
                              ? PyBaseObject_Type.tp_new(type, g.empty_tuple, nullptr)
                              : type->tp_alloc(type, 0));
    if (!self) return nullptr;
    PyObject *arg[1];
    const int bound = bind_new(kCinit, args, kwds, arg);
    Ref n_groups = Ref::steal(arg[0]);
    if (bound < 0 || init_groups(grouped(self.get()), n_groups.get()) < 0) {
        add_traceback(kCinit.entry);
        return nullptr;  // self goes through normal destruction, which frees what exists
    }
    return self.release();
}

void grouped_dealloc(PyObject *self) {
    PyObject *exc = PyErr_GetRaisedException();
    GroupedObject *o = grouped(self);
    if (o->aggs) {
        PyMem_Free(o->aggs);
        o->aggs = nullptr;
    }
    PyErr_SetRaisedException(exc);
    Py_TYPE(self)->tp_free(self);
}

// ---------------------------------------------------------------------------------------
// add

int unpack_error(Py_ssize_t got) noexcept {
    if (got > 2)
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                     got == 1 ? "" : "s");
    return -1;
}

// Splits one pairing item as Python unpacks into two names.
int unpack_pair(PyObject *item, Ref &first, Ref &second) noexcept {
    if (PyTuple_CheckExact(item)) {
        if (PyTuple_GET_SIZE(item) != 2) return unpack_error(PyTuple_GET_SIZE(item));
        first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return 0;
    }
    if (PyList_CheckExact(item)) {
        if (PyList_GET_SIZE(item) != 2) return unpack_error(PyList_GET_SIZE(item));
        first = Ref::steal(PyList_GetItemRef(item, 0));
        second = first ? Ref::steal(PyList_GetItemRef(item, 1)) : Ref();
        return second ? 0 : -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) return -1;
    first = Ref::steal(PyIter_Next(it.get()));
    if (!first) return PyErr_Occurred() ? -1 : unpack_error(0);
    second = Ref::steal(PyIter_Next(it.get()));
    if (!second) return PyErr_Occurred() ? -1 : unpack_error(1);
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return unpack_error(3);
    return PyErr_Occurred() ? -1 : 0;
}

// A group id through int(), then to 64 bits (OverflowError beyond).
int to_gid(PyObject *obj, int64_t &out) noexcept {
    Ref converted;
    if (!PyLong_CheckExact(obj)) {
        converted = Ref::steal(PyNumber_Long(obj));
        if (!converted) return -1;
        obj = converted.get();
    }
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return -1;
    out = v;
    return 0;
}

// The iterable path: pairs from zip_longest, looked up now so that rebinding it counts.
int add_pairs(GroupedObject *self, PyObject *ids, PyObject *source) noexcept {
    Ref sentinel = Ref::steal(PyObject_CallNoArgs(g.b_object));
    if (!sentinel) return -1;
    PyObject *found = nullptr;
    int rc = PyDict_GetItemRef(g.dict, g.s_zip_longest, &found);
    if (rc == 0) rc = PyObject_GetOptionalAttr(g.builtins, g.s_zip_longest, &found);
    if (rc < 0) return -1;
    if (rc == 0) {
        PyErr_SetString(PyExc_NameError, "name 'zip_longest' is not defined");
        return -1;
    }
    Ref zip = Ref::steal(found);
    PyObject *call[] = {ids, source, sentinel.get()};
    Ref pairing = Ref::steal(PyObject_Vectorcall(zip.get(), call, 2, g.kw_fillvalue));
    if (!pairing) return -1;
    Ref it = Ref::steal(PyObject_GetIter(pairing.get()));
    if (!it) return -1;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        Ref id_part, value_part;
        if (unpack_pair(item.get(), id_part, value_part) < 0) return -1;
        if (id_part.get() == sentinel.get() || value_part.get() == sentinel.get())
            return raise_with(PyExc_ValueError, g.m_same_length);
        int64_t gid;
        if (to_gid(id_part.get(), gid) < 0) return -1;
        if (gid < 0 || gid >= self->n_groups) return range_error(gid, self->n_groups);
        double x;
        if (item_to_double(value_part.get(), x) < 0) return -1;
        Moments &r = self->aggs[gid];  // re-read: the conversion may have run Python code
        if (r.count == kMaxCount) return count_overflow();
        moments_update(r, x);
    }
}

// Path choice: values as doubles (else iterate both), then ids as int32, then int64.
int add_body(GroupedObject *self, PyObject *ids, PyObject *values) noexcept {
    TypedView vals;
    if (acquire_view(values, ElemType::Double, vals) != kAcquired) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        return while_handling(exc.get(), [&] { return add_pairs(self, ids, values); });
    }
    TypedView id_view;
    AcquireStatus st = acquire_view(ids, ElemType::Int32, id_view);
    if (st == kAcquired)
        return fold_grouped<int32_t, false>(id_view, vals, self->aggs, self->n_groups);
    if (st != kFormatFailed && !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
    if (acquire_view(ids, ElemType::Int64, id_view) == kAcquired)
        return fold_grouped<int64_t, false>(id_view, vals, self->aggs, self->n_groups);
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
    // Ids to iterate beside a values buffer: walk the buffer's elements as Python floats.
    Ref source = vals.held() ? Ref::steal(double_view_iter(vals)) : Ref::borrow(Py_None);
    if (!source) return -1;
    return add_pairs(self, ids, source.get());
}

PyObject *grouped_add(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    PyObject *a[2];
    if (bind_args(kAdd, args, nargs, kwnames, a) < 0 || add_body(grouped(self), a[0], a[1]) < 0) {
        add_traceback(kAdd.entry);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------
// merge

int merge_body(GroupedObject *self, PyObject *other_obj) noexcept {
    if (!PyObject_TypeCheck(other_obj, &GroupedStatsType))
        return raise_with(PyExc_TypeError, g.m_other_grouped);
    const GroupedObject *other = grouped(other_obj);
    if (self->n_groups != other->n_groups)
        return raise_with(PyExc_ValueError, g.m_n_groups_mismatch);
    Moments *a = self->aggs;
    const Moments *b = other->aggs;
    const int64_t n = self->n_groups;
    PyThreadState *ts = PyEval_SaveThread();
    const int64_t stop = merge_all(a, b, n);
    PyEval_RestoreThread(ts);
    return stop < 0 ? 0 : count_overflow();
}

PyObject *grouped_merge(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    PyObject *other;
    if (bind_args(kMerge, args, nargs, kwnames, &other) < 0 ||
        merge_body(grouped(self), other) < 0) {
        add_traceback(kMerge.entry);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------
// Results

PyObject *to_dict_body(const GroupedObject *self) noexcept {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (int64_t i = 0; i < self->n_groups; ++i) {
        Ref key = Ref::steal(PyLong_FromLongLong(i));
        Ref value = Ref::steal(result_dict(self->aggs[i]));
        if (!key || !value || PyDict_SetItem(d.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject *grouped_to_dict(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                          PyObject *kwnames) {
    if (bind_none("to_dict", nargs, kwnames) < 0) return nullptr;
    PyObject *d = to_dict_body(grouped(self));
    if (!d) add_traceback(kToDictEntry);
    return d;
}

// A list of n references to one shared fill value.
Ref filled_list(int64_t n, PyObject *fill) noexcept {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (list)
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(fill));
    return list;
}

PyObject *result_arrays_body(const GroupedObject *self) noexcept {
    Ref nan = Ref::steal(PyFloat_FromString(g.s_nan));
    if (!nan) return nullptr;
    const int64_t n = self->n_groups;
    constexpr int kColumns = 7;
    PyObject *keys[kColumns] = {g.k_count, g.k_sum, g.k_mean, g.k_min, g.k_max, g.k_var, g.k_std};
    PyObject *fills[kColumns] = {g.int_zero, g.float_zero, nan.get(), nan.get(),
                                 nan.get(),  nan.get(),    nan.get()};
    Ref cols[kColumns];
    for (int c = 0; c < kColumns; ++c)
        if (!(cols[c] = filled_list(n, fills[c]))) return nullptr;
    for (int64_t i = 0; i < n; ++i) {
        const Moments &r = self->aggs[i];
        if (r.count == 0) continue;
        const Finalised f = moments_finalise(r);
        PyObject *values[kColumns] = {
            PyLong_FromLongLong(r.count), PyFloat_FromDouble(r.sum), PyFloat_FromDouble(r.mean),
            PyFloat_FromDouble(r.min),    PyFloat_FromDouble(r.max), PyFloat_FromDouble(f.var),
            PyFloat_FromDouble(f.std)};
        bool ok = true;
        for (int c = 0; c < kColumns; ++c) {
            // PyList_SetItem steals the value (and drops the fill reference it replaces).
            if (!values[c] || !ok) {
                Py_XDECREF(values[c]);
                ok = false;
                continue;
            }
            PyList_SetItem(cols[c].get(), static_cast<Py_ssize_t>(i), values[c]);
        }
        if (!ok) return nullptr;
    }
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (int c = 0; c < kColumns; ++c)
        if (PyDict_SetItem(d.get(), keys[c], cols[c].get()) < 0) return nullptr;
    return d.release();
}

PyObject *grouped_result_arrays(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                                PyObject *kwnames) {
    if (bind_none("result_arrays", nargs, kwnames) < 0) return nullptr;
    PyObject *d = result_arrays_body(grouped(self));
    if (!d) add_traceback(kResultArraysEntry);
    return d;
}

PyObject *grouped_reduce(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) {
    return refuse_reduce(kReduceEntry, nargs, kwnames);
}

PyObject *grouped_setstate(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) {
    return refuse_setstate(kSetstate, args, nargs, kwnames);
}

PyMethodDef grouped_methods[] = {
    {"add", as_cfunction(grouped_add), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"merge", as_cfunction(grouped_merge), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"to_dict", as_cfunction(grouped_to_dict), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"result_arrays", as_cfunction(grouped_result_arrays), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {VORNEL_REDUCE_NAME, as_cfunction(grouped_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {VORNEL_SETSTATE_NAME, as_cfunction(grouped_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject GroupedStatsType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornel._cycore.CyGroupedStreamStats",
    .tp_basicsize = sizeof(GroupedObject),
    .tp_dealloc = grouped_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_methods = grouped_methods,
    .tp_new = grouped_new,
};

}  // namespace vornel
