// GroupedQuantileSketch: one quantile sketch per group id, fed from id and value buffers.
#include <Python.h>

#include <limits>
#include <new>

#include "errors.hpp"
#include "objects.hpp"
#include "sketchobj.hpp"
#include "view.hpp"

namespace vornel {
namespace {

GroupedSketchObject *as_grouped(PyObject *o) noexcept {
    return reinterpret_cast<GroupedSketchObject *>(o);
}

PyObject *grouped_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static const char *kw[] = {"n_groups", "relative_accuracy", "max_buckets", nullptr};
    PyObject *n_obj, *accuracy = nullptr, *max_buckets = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:GroupedQuantileSketch",
                                     const_cast<char **>(kw), &n_obj, &accuracy, &max_buckets))
        return nullptr;
    int64_t n;
    Mapping m;
    int64_t mb;
    if (convert_n_groups(n_obj, n) < 0 || parse_mapping(accuracy, m) < 0 ||
        parse_max_buckets(max_buckets, mb) < 0)
        return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    GroupedSketchObject *o = as_grouped(self.get());
    o->lock = PyMutex{};
    o->map = m;
    o->max_buckets = mb;
    new (&o->core) GroupedCore();
    o->core.top = kExponents * m.k;
    if (!o->core.resize(n)) return PyErr_NoMemory();
    return self.release();
}

void grouped_dealloc(PyObject *self) {
    as_grouped(self)->core.release();
    Py_TYPE(self)->tp_free(self);
}

// A read-only view of obj as elem; an object without a buffer goes through np.asarray
// (kept alive in holder).
int view_of(PyObject *obj, ElemType elem, const char *dtype, TypedView &view, Ref &holder) noexcept {
    AcquireStatus st = acquire_view(obj, elem, view, Access::ReadOnly);
    if (st == kAcquired) return 0;
    if (st != kFailed || !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
    holder = as_array(obj, dtype);
    if (!holder) return -1;
    return acquire_view(holder.get(), elem, view, Access::ReadOnly) == kAcquired ? 0 : -1;
}

// Group ids as int32, or else int64, as the grouped accumulators take them. An object
// without a buffer goes through np.asarray with NumPy's own type, so floats are refused
// rather than truncated.
int ids_of(PyObject *obj, TypedView &view, Ref &holder, bool &wide) noexcept {
    wide = false;
    AcquireStatus st = acquire_view(obj, ElemType::Int32, view, Access::ReadOnly);
    if (st == kFailed && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        holder = as_array(obj, nullptr);
        // NumPy makes an empty list a float array; no id is no float either.
        if (holder && PyObject_Length(holder.get()) == 0) holder = as_array(obj, "int64");
        if (!holder) return -1;
        obj = holder.get();
        st = acquire_view(obj, ElemType::Int32, view, Access::ReadOnly);
    }
    if (st == kAcquired) return 0;
    if (st != kFormatFailed) return -1;
    PyErr_Clear();
    wide = true;
    return acquire_view(obj, ElemType::Int64, view, Access::ReadOnly) == kAcquired ? 0 : -1;
}

// The first id outside [0, n), or -1 when all are in range.
template <class Id>
int64_t first_bad(const TypedView &ids, int64_t n) noexcept {
    for (int64_t t = 0; t < ids.length(); ++t) {
        const auto id = static_cast<int64_t>(load_at<Id>(ids.data(), t, ids.stride()));
        if (id < 0 || id >= n) return t;
    }
    return -1;
}

// Checks every id, then adds every pair, holding the lock, detached. Nothing changes when
// an id is out of range. Returns -1 with the exception set.
template <class Id>
int add_pairs(GroupedSketchObject *self, const TypedView &ids, const TypedView &vals) noexcept {
    Locked hold(&self->lock);
    GroupedCore &g = self->core;
    const int64_t n = vals.length();
    if (g.total > std::numeric_limits<int64_t>::max() - n &&
        count_numbers(vals.data(), n, vals.stride()) > std::numeric_limits<int64_t>::max() - g.total)
        return count_overflow();
    int64_t bad, taken = n;
    Py_BEGIN_ALLOW_THREADS
    bad = first_bad<Id>(ids, g.n_groups);
    if (bad < 0) {
        taken = grouped_sketch_add<Id>(g, self->map, ids.data(), ids.stride(), vals.data(),
                                       vals.stride(), n);
        grouped_collapse(g, self->max_buckets);
        if (g.garbage > 4096 && g.garbage > g.used / 4) grouped_compact(g);
    }
    Py_END_ALLOW_THREADS
    if (bad >= 0)
        return range_error(static_cast<int64_t>(load_at<Id>(ids.data(), bad, ids.stride())),
                           g.n_groups);
    if (taken < n) {
        PyErr_NoMemory();  // the pairs before stay added
        return -1;
    }
    return 0;
}

PyObject *grouped_add(PyObject *self, PyObject *args, PyObject *kwds) {
    static const char *kw[] = {"group_ids", "values", nullptr};
    PyObject *ids_obj, *values;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:add", const_cast<char **>(kw), &ids_obj,
                                     &values) ||
        text_refused(values) < 0)
        return nullptr;
    TypedView vals, ids;
    Ref vals_holder, ids_holder;
    bool wide;
    if (view_of(values, ElemType::Double, "float64", vals, vals_holder) < 0 ||
        ids_of(ids_obj, ids, ids_holder, wide) < 0)
        return nullptr;
    if (ids.length() != vals.length()) {
        PyErr_SetString(PyExc_ValueError, "group_ids and values must have the same length");
        return nullptr;
    }
    const int rc = wide ? add_pairs<int64_t>(as_grouped(self), ids, vals)
                        : add_pairs<int32_t>(as_grouped(self), ids, vals);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *grouped_merge(PyObject *self_, PyObject *other_) {
    if (!PyObject_TypeCheck(other_, &GroupedSketchType)) {
        PyErr_Format(PyExc_TypeError, "other must be a GroupedQuantileSketch, not %.200s",
                     Py_TYPE(other_)->tp_name);
        return nullptr;
    }
    GroupedSketchObject *self = as_grouped(self_), *other = as_grouped(other_);
    if (mismatch(self->map, self->max_buckets, other->map, other->max_buckets) < 0)
        return nullptr;
    Locked hold(&self->lock, &other->lock);
    if (self->core.n_groups != other->core.n_groups) {
        PyErr_Format(PyExc_ValueError, "n_groups differ: %lld and %lld",
                     static_cast<long long>(self->core.n_groups),
                     static_cast<long long>(other->core.n_groups));
        return nullptr;
    }
    if (self->core.total > std::numeric_limits<int64_t>::max() - other->core.total) {
        count_overflow();
        return nullptr;
    }
    bool ok;
    Py_BEGIN_ALLOW_THREADS
    ok = grouped_sketch_merge(self->core, other->core);
    grouped_collapse(self->core, self->max_buckets);
    Py_END_ALLOW_THREADS
    if (!ok) return PyErr_NoMemory();  // the groups before the failing one stay merged
    Py_RETURN_NONE;
}

PyObject *grouped_resize(PyObject *self_, PyObject *arg) {
    int64_t n;
    if (convert_n_groups(arg, n) < 0) return nullptr;
    GroupedSketchObject *self = as_grouped(self_);
    Locked hold(&self->lock);
    if (n < self->core.n_groups) {
        PyErr_Format(PyExc_ValueError, "resize only grows: %lld groups, asked for %lld",
                     static_cast<long long>(self->core.n_groups), static_cast<long long>(n));
        return nullptr;
    }
    if (!self->core.resize(n)) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

// A new, empty sketch with the parameters of `like` and n groups (0 allowed here).
Ref empty_like(const GroupedSketchObject *like, int64_t n) noexcept {
    Ref out = Ref::steal(GroupedSketchType.tp_alloc(&GroupedSketchType, 0));
    if (!out) return Ref();
    GroupedSketchObject *o = as_grouped(out.get());
    o->lock = PyMutex{};
    o->map = like->map;
    o->max_buckets = like->max_buckets;
    new (&o->core) GroupedCore();
    o->core.top = like->core.top;
    if (!o->core.resize(n)) {
        PyErr_NoMemory();
        return Ref();
    }
    return out;
}

// Copies group `from` of a into group `to` of b (which is empty).
bool copy_group(const GroupedCore &a, int64_t from, GroupedCore &b, int64_t to) noexcept {
    BucketCursor cur(a, from);
    int32_t ord;
    uint64_t count;
    while (cur.next(ord, count))
        if (!group_put(b, to, ord, count)) return false;
    const GroupHead &h = a.heads[from];
    b.heads[to].count = h.count;
    b.heads[to].min = h.min;
    b.heads[to].max = h.max;
    b.total += h.count;
    return true;
}

// take(indices): a new sketch whose group i is a copy of group indices[i], or empty where
// indices[i] is -1: groups reordered, repeated or spread out, as a merge by key needs.
PyObject *grouped_take(PyObject *self_, PyObject *arg) {
    TypedView idx;
    Ref holder;
    if (view_of(arg, ElemType::Int64, "int64", idx, holder) < 0) return nullptr;
    GroupedSketchObject *self = as_grouped(self_);
    Locked hold(&self->lock);
    const GroupedCore &g = self->core;
    for (int64_t t = 0; t < idx.length(); ++t) {
        const int64_t from = load_at<int64_t>(idx.data(), t, idx.stride());
        if (from < -1 || from >= g.n_groups) {
            PyErr_Format(PyExc_ValueError, "index %lld out of range [-1, %lld)",
                         static_cast<long long>(from), static_cast<long long>(g.n_groups));
            return nullptr;
        }
    }
    Ref out = empty_like(self, idx.length());
    if (!out) return nullptr;
    GroupedCore &b = as_grouped(out.get())->core;
    for (int64_t t = 0; t < idx.length(); ++t) {
        const int64_t from = load_at<int64_t>(idx.data(), t, idx.stride());
        if (from >= 0 && !copy_group(g, from, b, t)) return PyErr_NoMemory();
    }
    grouped_compact(b);
    return out.release();
}

// quantiles(qs): an (n_groups, len(qs)) array; quantile(q) the same for one q, (n_groups,).
PyObject *answers(GroupedSketchObject *self, PyObject *qs, bool table) noexcept {
    Ref q = q_array(qs);
    if (!q) return nullptr;
    Py_buffer b;
    if (PyObject_GetBuffer(q.get(), &b, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    const auto *qv = static_cast<const double *>(b.buf);
    const Py_ssize_t m = b.len / 8;
    Locked hold(&self->lock);
    const GroupedCore &g = self->core;
    void *data;
    Ref out = new_array("float64", static_cast<Py_ssize_t>(g.n_groups), table ? m : -1, data);
    if (out) {
        auto *v = static_cast<double *>(data);
        for (int64_t i = 0; i < g.n_groups; ++i)
            for (Py_ssize_t j = 0; j < m; ++j) v[i * m + j] = group_quantile(g, self->map, i, qv[j]);
    }
    PyBuffer_Release(&b);
    return out.release();
}

PyObject *grouped_quantiles(PyObject *self, PyObject *qs) {
    return answers(as_grouped(self), qs, true);
}

PyObject *grouped_quantile(PyObject *self, PyObject *q) {
    double check;
    if (parse_q(q, check) < 0) return nullptr;
    return answers(as_grouped(self), q, false);
}

PyObject *grouped_reduce(PyObject *self, PyObject *) { return reduce_through_state(self); }

// count, min and max as arrays of one element per group.
PyObject *column(PyObject *self_, int which) noexcept {
    GroupedSketchObject *self = as_grouped(self_);
    Locked hold(&self->lock);
    const GroupedCore &g = self->core;
    void *data;
    Ref out = new_array(which == 0 ? "int64" : "float64", static_cast<Py_ssize_t>(g.n_groups),
                        -1, data);
    if (!out) return nullptr;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int64_t i = 0; i < g.n_groups; ++i) {
        const GroupHead &h = g.heads[i];
        if (which == 0)
            static_cast<int64_t *>(data)[i] = h.count;
        else
            static_cast<double *>(data)[i] = !h.count ? nan : which == 1 ? h.min : h.max;
    }
    return out.release();
}

PyObject *get_count(PyObject *self, void *) { return column(self, 0); }
PyObject *get_min(PyObject *self, void *) { return column(self, 1); }
PyObject *get_max(PyObject *self, void *) { return column(self, 2); }

PyObject *get_n_groups(PyObject *self, void *) {
    Locked hold(&as_grouped(self)->lock);
    return PyLong_FromLongLong(as_grouped(self)->core.n_groups);
}

PyObject *get_accuracy(PyObject *self, void *) {
    return PyFloat_FromDouble(as_grouped(self)->map.guarantee());
}

PyObject *get_max_buckets(PyObject *self, void *) {
    return max_buckets_object(as_grouped(self)->max_buckets);
}

PyObject *get_nbytes(PyObject *self, void *) {
    Locked hold(&as_grouped(self)->lock);
    return PyLong_FromUnsignedLongLong(as_grouped(self)->core.bytes() + sizeof(GroupedSketchObject));
}

PyObject *grouped_richcompare(PyObject *a, PyObject *b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(b, &GroupedSketchType))
        Py_RETURN_NOTIMPLEMENTED;
    GroupedSketchObject *x = as_grouped(a), *y = as_grouped(b);
    bool same;
    {
        Locked hold(&x->lock, &y->lock);
        same = x->map.k == y->map.k && x->max_buckets == y->max_buckets &&
               x->core.n_groups == y->core.n_groups;
        for (int64_t i = 0; same && i < x->core.n_groups; ++i)
            same = group_equal(x->core, i, y->core, i);
    }
    return PyBool_FromLong((op == Py_EQ) == same);
}

PyObject *grouped_repr(PyObject *self) {
    GroupedSketchObject *o = as_grouped(self);
    Ref acc = Ref::steal(PyFloat_FromDouble(o->map.guarantee()));
    if (!acc) return nullptr;
    Locked hold(&o->lock);
    return PyUnicode_FromFormat("<vornel.GroupedQuantileSketch n_groups=%lld count=%lld "
                                "relative_accuracy=%R>",
                                static_cast<long long>(o->core.n_groups),
                                static_cast<long long>(o->core.total), acc.get());
}

#define VORNEL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef grouped_methods[] = {
    {"add", VORNEL_KW(grouped_add), METH_VARARGS | METH_KEYWORDS,
     "add(group_ids, values): adds values[i] to group group_ids[i] (int32 or int64 ids, float64 "
     "values; read-only buffers too, the thread detached). Every id is checked first: an id "
     "outside [0, n_groups) raises ValueError and changes nothing. NaN is skipped."},
    {"merge", grouped_merge, METH_O,
     "merge(other): adds another GroupedQuantileSketch's groups, group by group; both must have "
     "the same n_groups, accuracy and max_buckets (ValueError, nothing changed)."},
    {"resize", grouped_resize, METH_O,
     "resize(n_groups): more groups, the new ones empty (it only grows)."},
    {"take", grouped_take, METH_O,
     "take(indices): a new GroupedQuantileSketch whose group i is a copy of group indices[i] "
     "(int64; -1 gives an empty group)."},
    {"quantile", grouped_quantile, METH_O,
     "quantile(q): each group's quantile, an array of n_groups (NaN for empty groups)."},
    {"quantiles", grouped_quantiles, METH_O,
     "quantiles(qs): an (n_groups, len(qs)) array of each group's quantiles."},
    {"__reduce__", grouped_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef grouped_getset[] = {
    {"count", get_count, nullptr, "values per group (int64 array)", nullptr},
    {"min", get_min, nullptr, "smallest value per group, NaN for empty groups", nullptr},
    {"max", get_max, nullptr, "largest value per group, NaN for empty groups", nullptr},
    {"n_groups", get_n_groups, nullptr, "the number of groups", nullptr},
    {"relative_accuracy", get_accuracy, nullptr,
     "the guarantee of the buckets chosen: at most the accuracy asked for", nullptr},
    {"max_buckets", get_max_buckets, nullptr, "the bucket limit per group, or None", nullptr},
    {"nbytes", get_nbytes, nullptr, "bytes of memory the sketch holds", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject GroupedSketchType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornel.GroupedQuantileSketch",
    .tp_basicsize = sizeof(GroupedSketchObject),
    .tp_dealloc = grouped_dealloc,
    .tp_repr = grouped_repr,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR(
        "GroupedQuantileSketch(n_groups, relative_accuracy=0.01, max_buckets=None)\n\n"
        "A QuantileSketch per group id 0 .. n_groups - 1, with the same guarantee and the same "
        "independence from how values were split into adds and merges. Small groups take a "
        "64-byte head and 8 bytes per non-empty bucket in one shared arena; large ones "
        "become dense. max_buckets limits every group alike."),
    .tp_richcompare = grouped_richcompare,
    .tp_methods = grouped_methods,
    .tp_getset = grouped_getset,
    .tp_new = grouped_new,
};

PyObject *grouped_payload(GroupedSketchObject *self) noexcept {
    Locked hold(&self->lock);
    const GroupedCore &g = self->core;
    size_t size = kSketchHeaderSize;
    for (int64_t i = 0; i < g.n_groups; ++i) size += group_bytes(cursor_buckets(BucketCursor(g, i)));
    PyObject *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (!out) return nullptr;
    auto *p = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(out));
    p = write_header(p, SketchInfo{self->map.k, static_cast<uint64_t>(self->max_buckets),
                                   static_cast<uint64_t>(g.n_groups)});
    for (int64_t i = 0; i < g.n_groups; ++i) {
        const GroupHead &h = g.heads[i];
        p = write_group(p, h.count, h.min, h.max, BucketCursor(g, i),
                        cursor_buckets(BucketCursor(g, i)));
    }
    return out;
}

PyObject *grouped_from_payload(const unsigned char *data, const SketchInfo &info) noexcept {
    Ref self = Ref::steal(GroupedSketchType.tp_alloc(&GroupedSketchType, 0));
    if (!self) return nullptr;
    GroupedSketchObject *o = as_grouped(self.get());
    o->lock = PyMutex{};
    o->map = mapping_of(info.k);
    o->max_buckets = static_cast<int64_t>(info.max_buckets);
    new (&o->core) GroupedCore();
    if (!load_groups(o->core, data, info)) return PyErr_NoMemory();
    return self.release();
}

}  // namespace vornel
