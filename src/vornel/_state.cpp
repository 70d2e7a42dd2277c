// The module vornel._state: records in and out of accumulators, and the loops over records
// arrays behind vornel.state. Private: vornel.state checks dtypes and shapes, this module
// checks sizes, writability and alignment, so no call can reach memory it was not given.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "errors.hpp"
#include "fold.hpp"
#include "kernels.hpp"
#include "moments.hpp"
#include "objects.hpp"
#include "owned.hpp"
#include "stateformat.hpp"
#include "view.hpp"

namespace vornel {
namespace {

// The accumulator types, taken from vornel._cycore at start-up and kept for the process.
PyTypeObject *stream_type = nullptr;
PyTypeObject *grouped_type = nullptr;

// ---------------------------------------------------------------------------------------
// Byte buffers of records and of result columns

enum class Want : uint8_t { Read, Write };

// A C-contiguous buffer held for one call, released by the destructor.
class Bytes {
public:
    Bytes() noexcept = default;
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    ~Bytes() {
        if (held_) PyBuffer_Release(&buf_);
    }

    // Acquires obj; role names it in messages. item is the element size that len must be a
    // multiple of, and the alignment the loops need.
    int acquire(PyObject *obj, const char *role, Want want, size_t item) noexcept {
        const int flags = want == Want::Write ? PyBUF_WRITABLE : PyBUF_SIMPLE;
        if (PyObject_GetBuffer(obj, &buf_, flags) < 0) return -1;
        held_ = true;
        const size_t len = static_cast<size_t>(buf_.len);
        if (len % item != 0) {
            PyErr_Format(PyExc_ValueError, "%s holds %zu bytes, not a whole number of %zu-byte items",
                         role, len, item);
            return -1;
        }
        if (reinterpret_cast<uintptr_t>(buf_.buf) % 8 != 0) {
            PyErr_Format(PyExc_ValueError, "%s is not 8-byte aligned", role);
            return -1;
        }
        return 0;
    }

    char *data() const noexcept { return static_cast<char *>(buf_.buf); }
    size_t len() const noexcept { return static_cast<size_t>(buf_.len); }
    Moments *records() const noexcept { return reinterpret_cast<Moments *>(buf_.buf); }
    int64_t n_records() const noexcept { return static_cast<int64_t>(len() / sizeof(Moments)); }

private:
    Py_buffer buf_{};
    bool held_ = false;
};

int acquire_records(Bytes &b, PyObject *obj, const char *role, Want want, int64_t expect) noexcept {
    if (b.acquire(obj, role, want, sizeof(Moments)) < 0) return -1;
    if (expect >= 0 && b.n_records() != expect) {
        PyErr_Format(PyExc_ValueError, "%s holds %lld records, expected %lld", role,
                     static_cast<long long>(b.n_records()), static_cast<long long>(expect));
        return -1;
    }
    return 0;
}

int check_nargs(const char *name, Py_ssize_t nargs, Py_ssize_t want) noexcept {
    if (nargs == want) return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want, nargs);
    return -1;
}

// ---------------------------------------------------------------------------------------
// Accumulators

// The records of acc: a pointer and a count (-1 for the single record of a stream).
int acc_records(PyObject *acc, Moments *&recs, int64_t &n) noexcept {
    if (PyObject_TypeCheck(acc, stream_type)) {
        recs = &stream_record(acc);
        n = -1;
        return 0;
    }
    if (PyObject_TypeCheck(acc, grouped_type)) {
        recs = grouped(acc)->aggs;
        n = grouped(acc)->n_groups;
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "expected a CyStreamStats or CyGroupedStreamStats, not %.200s",
                 Py_TYPE(acc)->tp_name);
    return -1;
}

// n_records(acc): None for a stream, n_groups for a grouped accumulator.
PyObject *st_n_records(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("n_records", nargs, 1) < 0) return nullptr;
    Moments *recs;
    int64_t n;
    if (acc_records(args[0], recs, n) < 0) return nullptr;
    if (n < 0) Py_RETURN_NONE;
    return PyLong_FromLongLong(n);
}

void copy_detached(void *dst, const void *src, size_t bytes) noexcept {
    PyThreadState *ts = PyEval_SaveThread();
    std::memcpy(dst, src, bytes);
    PyEval_RestoreThread(ts);
}

// copy_out(acc, out): acc's records into the writable buffer out.
PyObject *st_copy_out(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("copy_out", nargs, 2) < 0) return nullptr;
    Moments *recs;
    int64_t n;
    Bytes out;
    if (acc_records(args[0], recs, n) < 0 ||
        acquire_records(out, args[1], "out", Want::Write, n < 0 ? 1 : n) < 0)
        return nullptr;
    copy_detached(out.data(), recs, out.len());
    Py_RETURN_NONE;
}

// Raises the ValueError for records that no adds and merges could have made.
int check_plausible(const Bytes &src, bool single) noexcept {
    const RecordCheck c = check_records(reinterpret_cast<const unsigned char *>(src.data()),
                                        static_cast<uint64_t>(src.n_records()));
    if (c.fault == RecordFault::None) return 0;
    Ref where = Ref::steal(single ? PyUnicode_FromString("record")
                                  : PyUnicode_FromFormat("records[%llu]",
                                                         static_cast<unsigned long long>(c.index)));
    if (!where) return -1;
    if (c.fault == RecordFault::NegativeCount) {
        const Moments &r = src.records()[c.index];
        PyErr_Format(PyExc_ValueError,
                     "%U.count is negative (%lld): no adds or merges make such a record", where.get(),
                     static_cast<long long>(r.count));
    } else {
        PyErr_Format(PyExc_ValueError,
                     "%U.%s is not its initial value although count is 0: an empty record holds "
                     "sum, mean and m2 0.0, min 1.7976931348623157e+308 and max its negative",
                     where.get(), c.field);
    }
    return -1;
}

// copy_in(acc, src): src's records into acc, after checking that real adds could make them.
PyObject *st_copy_in(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("copy_in", nargs, 2) < 0) return nullptr;
    Moments *recs;
    int64_t n;
    Bytes src;
    if (acc_records(args[0], recs, n) < 0 ||
        acquire_records(src, args[1], "records", Want::Read, n < 0 ? 1 : n) < 0 ||
        check_plausible(src, n < 0) < 0)
        return nullptr;
    copy_detached(recs, src.data(), src.len());
    Py_RETURN_NONE;
}

// check(records, single): the ValueError of copy_in, without an accumulator.
PyObject *st_check(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("check", nargs, 2) < 0) return nullptr;
    const int single = PyObject_IsTrue(args[1]);
    Bytes src;
    if (single < 0 || acquire_records(src, args[0], "records", Want::Read, -1) < 0 ||
        check_plausible(src, single) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// n_groups(obj): obj converted as CyGroupedStreamStats(obj) converts it.
PyObject *st_n_groups(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("n_groups", nargs, 1) < 0) return nullptr;
    int64_t n;
    if (convert_n_groups(args[0], n) < 0) return nullptr;
    return PyLong_FromLongLong(n);
}

// ---------------------------------------------------------------------------------------
// Folding buffers into records

// A read-only typed view; anything without the buffer protocol (None included) is a TypeError.
AcquireStatus acquire_input(PyObject *obj, ElemType e, TypedView &view) noexcept {
    if (obj == Py_None) {
        PyErr_SetString(PyExc_TypeError, "a buffer is required, not 'NoneType'");
        return kFailed;
    }
    return acquire_view(obj, e, view, Access::ReadOnly);
}

// Folds items[0, k) (k <= kMaxInterleave buffers) into recs[0, k) in one interleaved loop.
int fold_some(PyObject *const *items, Moments *recs, int k, bool skipna) noexcept {
    TypedView views[kMaxInterleave];
    for (int j = 0; j < k; ++j)
        if (acquire_input(items[j], ElemType::Double, views[j]) != kAcquired) return -1;
    return skipna ? fold_streams<true>(views, recs, k) : fold_streams<false>(views, recs, k);
}

// summarise(values, out, skipna): folds values into the one record of out, in place.
PyObject *st_summarise(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("summarise", nargs, 3) < 0) return nullptr;
    const int skipna = PyObject_IsTrue(args[2]);
    if (skipna < 0) return nullptr;
    Bytes out;
    if (acquire_records(out, args[1], "into", Want::Write, 1) < 0 ||
        fold_some(args, out.records(), 1, skipna) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// summarise_many(buffers, out, skipna): buffers[i] folded into out[i], several at a time.
PyObject *st_summarise_many(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("summarise_many", nargs, 3) < 0) return nullptr;
    const int skipna = PyObject_IsTrue(args[2]);
    if (skipna < 0) return nullptr;
    if (!PyList_Check(args[0]) && !PyTuple_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "values must be a list or tuple of buffers");
        return nullptr;
    }
    // A tuple as it is, a list as a tuple copy: Python code run by an exporter below could
    // change a list while its items are read.
    Ref seq = Ref::steal(PySequence_Tuple(args[0]));
    if (!seq) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(seq.get());
    Bytes out;
    if (acquire_records(out, args[1], "into", Want::Write, count) < 0) return nullptr;
    for (Py_ssize_t i = 0; i < count; i += kMaxInterleave) {
        const int k = static_cast<int>(count - i < kMaxInterleave ? count - i : kMaxInterleave);
        if (fold_some(&PyTuple_GET_ITEM(seq.get(), i), out.records() + i, k, skipna) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

template <class Id>
int fold_grouped_into(const TypedView &ids, const TypedView &vals, Bytes &out,
                      bool skipna) noexcept {
    return skipna ? fold_grouped<Id, true>(ids, vals, out.records(), out.n_records())
                  : fold_grouped<Id, false>(ids, vals, out.records(), out.n_records());
}

// summarise_grouped(ids, values, out, skipna): folds values into out[ids], in place. Ids are
// tried as int32 and then int64, as the grouped add tries them.
PyObject *st_summarise_grouped(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("summarise_grouped", nargs, 4) < 0) return nullptr;
    const int skipna = PyObject_IsTrue(args[3]);
    if (skipna < 0) return nullptr;
    TypedView vals, ids;
    Bytes out;
    if (acquire_input(args[1], ElemType::Double, vals) != kAcquired ||
        acquire_records(out, args[2], "into", Want::Write, -1) < 0)
        return nullptr;
    const AcquireStatus st = acquire_input(args[0], ElemType::Int32, ids);
    int rc;
    if (st == kAcquired) {
        rc = fold_grouped_into<int32_t>(ids, vals, out, skipna);
    } else {
        if (st != kFormatFailed) return nullptr;
        PyErr_Clear();
        if (acquire_input(args[0], ElemType::Int64, ids) != kAcquired) return nullptr;
        rc = fold_grouped_into<int64_t>(ids, vals, out, skipna);
    }
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------
// Merging and finalising records

// merge(into, other): other's records merged into into's, element by element, in place.
PyObject *st_merge(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("merge", nargs, 2) < 0) return nullptr;
    Bytes into, other;
    if (acquire_records(into, args[0], "into", Want::Write, -1) < 0 ||
        acquire_records(other, args[1], "other", Want::Read, into.n_records()) < 0)
        return nullptr;
    Moments *a = into.records();
    const Moments *b = other.records();
    const int64_t n = into.n_records();
    // The same records merge into themselves record by record; a shifted overlap would read
    // records already merged, so it merges a copy.
    void *copy = nullptr;
    if (a != b && a < b + n && b < a + n) {
        if (!(copy = PyMem_Malloc(other.len()))) return PyErr_NoMemory();
        std::memcpy(copy, b, other.len());
        b = static_cast<const Moments *>(copy);
    }
    PyThreadState *ts = PyEval_SaveThread();
    const int64_t stop = merge_all(a, b, n);
    PyEval_RestoreThread(ts);
    PyMem_Free(copy);
    if (stop >= 0) {
        count_overflow();
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr int kColumns = 7;  // count, sum, mean, min, max, var, std

// The mean as NumPy and pandas give it. Welford's update turns an infinity that arrives
// first into NaN (inf - inf), though the mean of values holding infinities of one sign and
// no NaN is that infinity; the record shows that case: sum is that infinity, and so is the
// matching extreme (a sum that overflowed from finite values has a finite extreme).
inline double reported_mean(const Moments &r) noexcept {
    const double inf = std::numeric_limits<double>::infinity();
    if ((r.sum == inf && r.max == inf) || (r.sum == -inf && r.min == -inf)) return r.sum;
    return r.mean;
}

// The variance with divisor count - ddof; ddof 0 is the accumulators' own result, bit for
// bit. A record with count <= ddof has no such variance: NaN.
inline Finalised finalise_ddof(const Moments &r, int64_t ddof) noexcept {
    if (ddof == 0) return moments_finalise(r);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (r.count <= ddof) return {nan, nan};
    double var = r.m2 / static_cast<double>(r.count - ddof);
    if (0.0 > var) var = 0.0;  // as moments_finalise: rounding can leave m2 a hair below zero
    return {var, std::sqrt(var)};
}

void finalise_all(const Moments *recs, int64_t n, int64_t ddof,
                  char *const cols[kColumns]) noexcept {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto put = [&](int c, int64_t i, auto v) {
        std::memcpy(cols[c] + i * 8, &v, 8);
    };
    for (int64_t i = 0; i < n; ++i) {
        const Moments &r = recs[i];
        if (r.count == 0) {
            put(0, i, int64_t{0});
            put(1, i, 0.0);
            for (int c = 2; c < kColumns; ++c) put(c, i, nan);
            continue;
        }
        const Finalised f = finalise_ddof(r, ddof);
        put(0, i, r.count);
        put(1, i, r.sum);
        put(2, i, reported_mean(r));
        put(3, i, r.min);
        put(4, i, r.max);
        put(5, i, f.var);
        put(6, i, f.std);
    }
}

// ddof as an int64 of 0 or more. bool is refused, though an int: True as a divisor offset is
// a mistake, not a choice. An int past int64 leaves every count <= ddof, as the largest does.
int convert_ddof(PyObject *obj, int64_t &ddof) noexcept {
    if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "ddof must be an int, not %.200s", Py_TYPE(obj)->tp_name);
        return -1;
    }
    Ref v = Ref::steal(PyNumber_Index(obj));
    if (!v) return -1;
    int overflow = 0;
    const long long d = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (d == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && d < 0)) {
        PyErr_Format(PyExc_ValueError, "ddof must be 0 or more, got %R", v.get());
        return -1;
    }
    ddof = overflow > 0 ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(d);
    return 0;
}

// finalise(records, count, sum, mean, min, max, var, std, ddof): fills the seven columns.
PyObject *st_finalise(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("finalise", nargs, 2 + kColumns) < 0) return nullptr;
    int64_t ddof = 0;
    Bytes recs, cols[kColumns];
    if (convert_ddof(args[1 + kColumns], ddof) < 0 ||
        acquire_records(recs, args[0], "records", Want::Read, -1) < 0)
        return nullptr;
    const int64_t n = recs.n_records();
    char *outs[kColumns];
    for (int c = 0; c < kColumns; ++c) {
        if (cols[c].acquire(args[1 + c], "column", Want::Write, 8) < 0) return nullptr;
        if (static_cast<int64_t>(cols[c].len() / 8) != n) {
            PyErr_SetString(PyExc_ValueError, "a column's length differs from the records'");
            return nullptr;
        }
        outs[c] = cols[c].data();
    }
    PyThreadState *ts = PyEval_SaveThread();
    finalise_all(recs.records(), n, ddof, outs);
    PyEval_RestoreThread(ts);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------
// The stored form

// parse(data): (version, kind, count, records offset) of a valid blob, else ValueError.
PyObject *st_parse(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("parse", nargs, 1) < 0) return nullptr;
    Py_buffer b;
    if (PyObject_GetBuffer(args[0], &b, PyBUF_SIMPLE) < 0) return nullptr;
    StateHeader h{};
    const ParseStatus s =
        parse_state(static_cast<const unsigned char *>(b.buf), static_cast<size_t>(b.len), h);
    uint16_t version = 0;
    if (s == ParseStatus::BadVersion && b.len >= 10) {
        const auto *p = static_cast<const unsigned char *>(b.buf);
        version = static_cast<uint16_t>(p[8] | (p[9] << 8));
    }
    PyBuffer_Release(&b);
    if (s == ParseStatus::BadVersion) {
        PyErr_Format(PyExc_ValueError, "%s: %u (this vornel reads versions 1 to %u)",
                     parse_message(s), static_cast<unsigned>(version),
                     static_cast<unsigned>(kStateVersion));
        return nullptr;
    }
    if (s != ParseStatus::Ok) {
        PyErr_SetString(PyExc_ValueError, parse_message(s));
        return nullptr;
    }
    return Py_BuildValue("(iiKn)", static_cast<int>(h.version), static_cast<int>(h.kind),
                         static_cast<unsigned long long>(h.count),
                         static_cast<Py_ssize_t>(h.records_offset));
}

// crc32(data): the checksum of the stored form.
PyObject *st_crc32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (check_nargs("crc32", nargs, 1) < 0) return nullptr;
    Py_buffer b;
    if (PyObject_GetBuffer(args[0], &b, PyBUF_SIMPLE) < 0) return nullptr;
    const uint32_t crc = state_crc32(static_cast<const unsigned char *>(b.buf),
                                     static_cast<size_t>(b.len));
    PyBuffer_Release(&b);
    return PyLong_FromUnsignedLong(crc);
}

// ---------------------------------------------------------------------------------------
// Start-up

PyObject *fetch_type(PyObject *mod, const char *name) noexcept {
    PyObject *t = PyObject_GetAttrString(mod, name);
    if (t && !PyType_Check(t)) {
        PyErr_Format(PyExc_TypeError, "vornel._cycore.%s is not a type", name);
        Py_CLEAR(t);
    }
    return t;
}

int state_exec(PyObject *) {
    Ref core = Ref::steal(PyImport_ImportModule("vornel._cycore"));
    if (!core) return -1;
    PyObject *s = fetch_type(core.get(), "CyStreamStats");
    if (!s) return -1;
    PyObject *gr = fetch_type(core.get(), "CyGroupedStreamStats");
    if (!gr) {
        Py_DECREF(s);
        return -1;
    }
    // Strong references for the life of the process, as the types themselves live.
    Py_XSETREF(stream_type, reinterpret_cast<PyTypeObject *>(s));
    Py_XSETREF(grouped_type, reinterpret_cast<PyTypeObject *>(gr));
    return 0;
}

#define VORNEL_FN(name) {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(st_##name)), METH_FASTCALL, nullptr}

PyMethodDef state_methods[] = {
    VORNEL_FN(n_records), VORNEL_FN(copy_out), VORNEL_FN(copy_in),
    VORNEL_FN(check),     VORNEL_FN(n_groups), VORNEL_FN(summarise), VORNEL_FN(summarise_many),
    VORNEL_FN(summarise_grouped), VORNEL_FN(merge), VORNEL_FN(finalise),
    VORNEL_FN(parse),     VORNEL_FN(crc32),    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot state_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(state_exec)},
    // No mutable process-wide state beyond the two type references set at import, and the
    // loops follow the accumulators' rule (callers serialise use of one array), so this
    // module needs no GIL of its own. Importing it imports vornel._cycore, which does.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef state_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vornel._state",
    .m_doc = "Native loops of vornel.state (private).",
    .m_size = 0,
    .m_methods = state_methods,
    .m_slots = state_slots,
};

}  // namespace
}  // namespace vornel

PyMODINIT_FUNC PyInit__state(void) { return PyModuleDef_Init(&vornel::state_def); }
