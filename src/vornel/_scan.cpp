// The module vornel._scan: the CSV scanner of the table layer (private; vornel.table.csvfile
// drives it). A Scanner holds the layout of one data set's records and its key map; scan()
// reads one byte range with the thread detached, into NumPy arrays.
#include <Python.h>

#include <cstring>
#include <new>

#include "keymap.hpp"
#include "owned.hpp"
#include "scan.hpp"
#include "textcolumn.hpp"

namespace vornel {

PyObject *write_lines(PyObject *, PyObject *args);  // writer.cpp

namespace {

PyObject *np_empty = nullptr;  // numpy.empty, bound at import for the process's life

// The key map of one data set, shared by its scanners and its other key columns of text.
struct KeyMapObject {
    PyObject_HEAD
    KeyMap *map;      // PyMem, constructed in place
    int32_t n_parts;  // key columns mapped together
};

struct ScannerObject {
    PyObject_HEAD
    ScanLayout layout;
    int32_t *roles;     // value_of then key_of, n_fields each (PyMem)
    PyObject *cells;    // the missing-cell byte strings, kept alive: the layout points into them
    PyObject *keys;     // the KeyMapObject of the data set, or None
};

extern PyTypeObject KeyMapType;

ScannerObject *as_scanner(PyObject *o) noexcept { return reinterpret_cast<ScannerObject *>(o); }
KeyMapObject *as_keymap(PyObject *o) noexcept { return reinterpret_cast<KeyMapObject *>(o); }
KeyMap *map_of(ScannerObject *s) noexcept {
    return s->keys == Py_None ? nullptr : as_keymap(s->keys)->map;
}

// A new NumPy array of n elements of dtype; its data through out.
Ref new_array(const char *dtype, Py_ssize_t n, void *&out) noexcept {
    Ref arr = Ref::steal(PyObject_CallFunction(np_empty, "ns", n, dtype));
    if (!arr) return Ref();
    Py_buffer b;
    if (PyObject_GetBuffer(arr.get(), &b, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return Ref();
    out = b.buf;  // the array keeps its memory; the buffer is only a way to reach it
    PyBuffer_Release(&b);
    return arr;
}

// Fills set from a sequence of bytes objects (which cells keeps alive).
int fill_cells(PyObject *seq, CellSet &set, const char *what) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(seq);
    if (n > CellSet::kMax) {
        PyErr_Format(PyExc_ValueError, "at most %d %s", CellSet::kMax, what);
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *b = PyTuple_GET_ITEM(seq, i);
        if (!PyBytes_Check(b)) {
            PyErr_Format(PyExc_TypeError, "%s must be bytes", what);
            return -1;
        }
        set.cell[i] = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(b));
        set.len[i] = static_cast<uint32_t>(PyBytes_GET_SIZE(b));
    }
    set.n = static_cast<int>(n);
    return 0;
}

// Marks the fields a list of field indices names with their position in it.
int fill_roles(PyObject *fields, int32_t *role, int32_t n_fields, int32_t &count) noexcept {
    Ref seq = Ref::steal(PySequence_Tuple(fields));
    if (!seq) return -1;
    count = static_cast<int32_t>(PyTuple_GET_SIZE(seq.get()));
    for (int32_t j = 0; j < count; ++j) {
        const long f = PyLong_AsLong(PyTuple_GET_ITEM(seq.get(), j));
        if (f == -1 && PyErr_Occurred()) return -1;
        if (f < 0 || f >= n_fields) {
            PyErr_SetString(PyExc_ValueError, "a field index outside the header");
            return -1;
        }
        role[f] = j;
    }
    return 0;
}

PyObject *scanner_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static const char *kw[] = {"n_fields", "value_fields", "key_fields", "na", "key_na",
                               "keymap", nullptr};
    int n_fields;
    PyObject *values, *keys, *na, *key_na, *keymap;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "iOOO!O!O:Scanner", const_cast<char **>(kw),
                                     &n_fields, &values, &keys, &PyTuple_Type, &na,
                                     &PyTuple_Type, &key_na, &keymap))
        return nullptr;
    if (keymap != Py_None && !PyObject_TypeCheck(keymap, &KeyMapType)) {
        PyErr_SetString(PyExc_TypeError, "keymap must be a KeyMap or None");
        return nullptr;
    }
    if (n_fields < 1) {
        PyErr_SetString(PyExc_ValueError, "n_fields must be positive");
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ScannerObject *o = as_scanner(self.get());
    new (&o->layout) ScanLayout();
    const auto n = static_cast<size_t>(n_fields);
    o->keys = Py_NewRef(keymap);
    o->roles = static_cast<int32_t *>(PyMem_Malloc(2 * n * sizeof(int32_t)));
    if (!o->roles) return PyErr_NoMemory();
    for (size_t i = 0; i < 2 * n; ++i) o->roles[i] = -1;
    ScanLayout &l = o->layout;
    l.n_fields = n_fields;
    l.value_of = o->roles;
    l.key_of = o->roles + n;
    o->cells = PyTuple_Pack(2, na, key_na);
    if (!o->cells || fill_roles(values, o->roles, n_fields, l.n_values) < 0 ||
        fill_roles(keys, o->roles + n, n_fields, l.n_keys) < 0 ||
        fill_cells(na, l.na, "missing-value cells") < 0 ||
        fill_cells(key_na, l.key_na, "missing-key cells") < 0)
        return nullptr;
    l.na_numeric = numeric_cells(l.na);
    if (l.n_keys && (keymap == Py_None || as_keymap(keymap)->n_parts != l.n_keys)) {
        PyErr_SetString(PyExc_ValueError, "key fields need a KeyMap of as many parts");
        return nullptr;
    }
    return self.release();
}

void scanner_dealloc(PyObject *self) {
    ScannerObject *o = as_scanner(self);
    PyMem_Free(o->roles);
    Py_XDECREF(o->cells);
    Py_XDECREF(o->keys);
    Py_TYPE(self)->tp_free(self);
}

// The arrays one range is read into: room for bound rows.
struct Arrays {
    Ref ids;
    Ref values[256], missing[256];
};

PyObject *result_tuple(const RangeOut &out, Arrays &a, int32_t n_values, int64_t lines) noexcept {
    Ref vals = Ref::steal(PyList_New(n_values));
    Ref miss = Ref::steal(PyList_New(n_values));
    Ref info = Ref::steal(PyList_New(n_values));
    if (!vals || !miss || !info) return nullptr;
    for (int32_t v = 0; v < n_values; ++v) {
        const ColumnOut &c = out.cols[v];
        PyObject *value = c.skip ? Py_None : a.values[v].get();
        PyObject *mask = c.skip || !c.n_missing ? Py_None : a.missing[v].get();
        PyList_SET_ITEM(vals.get(), v, Py_NewRef(value));
        PyList_SET_ITEM(miss.get(), v, Py_NewRef(mask));
        PyObject *t = Py_BuildValue("(OLKI)", c.any_number ? Py_True : Py_False,
                                    static_cast<long long>(c.text_row),
                                    static_cast<unsigned long long>(c.text_at), c.text_len);
        if (!t) return nullptr;
        PyList_SET_ITEM(info.get(), v, t);
    }
    Ref fault = out.fault == ScanFault::None
                    ? Ref::borrow(Py_None)
                    : Ref::steal(Py_BuildValue("(iKii)", static_cast<int>(out.fault),
                                               static_cast<unsigned long long>(out.fault_at),
                                               out.fault_field, out.fault_got));
    if (!fault) return nullptr;
    return Py_BuildValue("(LLOOOOO)", static_cast<long long>(out.rows),
                         static_cast<long long>(lines), a.ids ? a.ids.get() : Py_None,
                         vals.get(), miss.get(), info.get(), fault.get());
}

// scan(data, range, skip): (rows, lines, ids, values, missing, info, fault) of one range.
// Arrays hold a bound of rows; the first `rows` are the range's. missing[v] is None when no
// cell of column v was missing; values[v] None for a column skipped (known text). info[v]
// is (any number seen, first text row or -1, its raw field's offset and length); fault
// None, or (kind, offset of the record, field, fields found).
PyObject *scanner_scan(PyObject *self_, PyObject *args) {
    PyObject *data_obj, *skip;
    unsigned long long range;
    if (!PyArg_ParseTuple(args, "OKO!:scan", &data_obj, &range, &PyTuple_Type, &skip))
        return nullptr;
    ScannerObject *self = as_scanner(self_);
    const ScanLayout &l = self->layout;
    if (PyTuple_GET_SIZE(skip) != l.n_values) {
        PyErr_SetString(PyExc_ValueError, "skip needs one flag per value column");
        return nullptr;
    }
    if (l.n_values > 256) {
        PyErr_SetString(PyExc_ValueError, "at most 256 value columns are read at once");
        return nullptr;
    }
    Py_buffer b;
    if (PyObject_GetBuffer(data_obj, &b, PyBUF_SIMPLE) < 0) return nullptr;
    const auto *data = static_cast<const unsigned char *>(b.buf);
    const auto len = static_cast<size_t>(b.len);
    const int64_t bound = row_bound(data, len);
    Arrays a;
    ColumnOut cols[256];
    RangeOut out;
    out.cols = cols;
    bool ok = true;
    void *p;
    if (l.n_keys) {
        a.ids = new_array("int32", bound, p);
        out.ids = static_cast<int32_t *>(p);
        ok = static_cast<bool>(a.ids);
    }
    for (int32_t v = 0; ok && v < l.n_values; ++v) {
        const int s = PyObject_IsTrue(PyTuple_GET_ITEM(skip, v));
        if (s < 0) {
            ok = false;
            break;
        }
        cols[v].skip = s;
        if (s) continue;
        a.values[v] = new_array("float64", bound, p);
        cols[v].values = static_cast<double *>(p);
        a.missing[v] = a.values[v] ? new_array("bool", bound, p) : Ref();
        cols[v].missing = static_cast<uint8_t *>(p);
        ok = a.values[v] && a.missing[v];
    }
    if (!ok) {
        PyBuffer_Release(&b);
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    scan_range(data, len, l, map_of(self), range, out);
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&b);
    return result_tuple(out, a, l.n_values, out.lines);
}

// Part `part` of an encoded key tuple: its bytes, and its length (0xFFFFFFFF: null).
const unsigned char *part_at(const unsigned char *k, int32_t part, uint32_t &len) noexcept {
    for (int32_t q = 0;; ++q) {
        std::memcpy(&len, k, 4);
        k += 4;
        if (q == part) return k;
        if (len != 0xFFFFFFFFu) k += len;
    }
}


// ---------------------------------------------------------------------------------------
// KeyMap

PyObject *keymap_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static const char *kw[] = {"n_parts", nullptr};
    int parts;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "i:KeyMap", const_cast<char **>(kw), &parts))
        return nullptr;
    if (parts < 1) {
        PyErr_SetString(PyExc_ValueError, "n_parts must be positive");
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    KeyMapObject *o = as_keymap(self.get());
    o->n_parts = parts;
    void *raw = PyMem_Malloc(sizeof(KeyMap));
    if (!raw) return PyErr_NoMemory();
    o->map = new (raw) KeyMap();
    return self.release();
}

void keymap_dealloc(PyObject *self) {
    KeyMapObject *o = as_keymap(self);
    if (o->map) {
        o->map->~KeyMap();
        PyMem_Free(o->map);
    }
    Py_TYPE(self)->tp_free(self);
}

// map_arrow(columns, n, seq): the group ids of n rows of key columns of text (one
// (validity, offsets, data, offset, wide) per key part), met at positions (seq << 32) + row.
PyObject *keymap_map_arrow(PyObject *self_, PyObject *args) {
    PyObject *cols;
    long long n;
    unsigned long long seq;
    if (!PyArg_ParseTuple(args, "O!LK:map_arrow", &PyList_Type, &cols, &n, &seq)) return nullptr;
    KeyMapObject *self = as_keymap(self_);
    const Py_ssize_t parts = PyList_GET_SIZE(cols);
    if (parts != self->n_parts || n < 0) {
        PyErr_SetString(PyExc_ValueError, "one column per key part, and rows >= 0");
        return nullptr;
    }
    TextColumn c[64];
    if (parts > 64) return PyErr_Format(PyExc_ValueError, "at most 64 key parts");
    for (Py_ssize_t j = 0; j < parts; ++j)
        if (take_column(PyList_GET_ITEM(cols, j), n, c[j]) < 0) return nullptr;
    void *p;
    Ref out = new_array("int32", static_cast<Py_ssize_t>(n), p);
    if (!out) return nullptr;
    auto *ids = static_cast<int32_t *>(p);
    int32_t bad = 0;  // 0, or the failing id: -1 memory, -2 too many keys, -3 not UTF-8
    Py_BEGIN_ALLOW_THREADS
    RawBuffer key;
    for (int64_t i = 0; i < n && !bad; ++i) {
        key.size = 0;
        bool ok = true;
        for (Py_ssize_t j = 0; j < parts && ok; ++j) {
            uint32_t len = 0xFFFFFFFFu;
            const unsigned char *at = c[j].null_at(i) ? nullptr : c[j].at(i, len);
            ok = key.append(&len, 4) && (!at || key.append(at, len));
        }
        if (!ok) {
            bad = -1;
            break;
        }
        const auto klen = static_cast<uint32_t>(key.size);
        const int32_t id = self->map->id_of(key.data, klen, key_hash(key.data, klen),
                                            seq << 32 | static_cast<uint64_t>(i));
        if (id < 0) bad = id;
        ids[i] = id;
    }
    key.release();
    Py_END_ALLOW_THREADS
    if (bad == -1) return PyErr_NoMemory();
    if (bad == -2) return PyErr_Format(PyExc_ValueError, "more than 2**31 - 1 groups");
    return out.release();
}

// keys(): (ids in order of first appearance, then per key part (offsets, data, validity)).
// offsets are int64 (Arrow's large_string layout), validity a bitmap or None: enough to
// make Arrow string arrays without a Python object per key.
PyObject *keymap_keys(PyObject *self_, PyObject *) {
    KeyMapObject *self = as_keymap(self_);
    const int64_t n = self->map->size();
    const int32_t parts = self->n_parts;
    auto *keys = static_cast<KeyMap::Key *>(PyMem_Malloc(static_cast<size_t>(n + 1) * sizeof(KeyMap::Key)));
    if (!keys) return PyErr_NoMemory();
    Py_BEGIN_ALLOW_THREADS
    self->map->ordered(keys);
    Py_END_ALLOW_THREADS
    void *p;
    Ref order = new_array("int64", n, p);
    if (!order) {
        PyMem_Free(keys);
        return nullptr;
    }
    auto *ids = static_cast<int64_t *>(p);
    for (int64_t i = 0; i < n; ++i) ids[i] = keys[i].id;
    Ref out = Ref::steal(PyList_New(parts));
    for (int32_t part = 0; out && part < parts; ++part) {
        // Offsets first, then the bytes of every key's part, then the nulls.
        Ref offs = new_array("int64", n + 1, p);
        if (!offs) break;
        auto *off = static_cast<int64_t *>(p);
        Ref valid = new_array("uint8", (n + 7) / 8, p);
        if (!valid) break;
        auto *bits = static_cast<uint8_t *>(p);
        std::memset(bits, 0, static_cast<size_t>((n + 7) / 8));
        int64_t total = 0, nulls = 0;
        off[0] = 0;
        for (int64_t i = 0; i < n; ++i) {
            uint32_t len;
            part_at(keys[i].bytes, part, len);
            if (len == 0xFFFFFFFFu) {
                ++nulls;
            } else {
                total += len;
                bits[i >> 3] = static_cast<uint8_t>(bits[i >> 3] | (1u << (i & 7)));
            }
            off[i + 1] = total;
        }
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
        if (!bytes) break;
        char *dst = PyBytes_AS_STRING(bytes.get());
        for (int64_t i = 0; i < n; ++i) {
            uint32_t len;
            const unsigned char *at = part_at(keys[i].bytes, part, len);
            if (len != 0xFFFFFFFFu) std::memcpy(dst + off[i], at, len);
        }
        PyObject *t = Py_BuildValue("(OOO)", offs.get(), bytes.get(),
                                    nulls ? valid.get() : Py_None);
        if (!t) break;
        PyList_SET_ITEM(out.get(), part, t);
    }
    PyMem_Free(keys);
    if (PyErr_Occurred()) return nullptr;
    return Py_BuildValue("(OO)", order.get(), out.get());
}

Py_ssize_t keymap_len(PyObject *self) {
    return static_cast<Py_ssize_t>(as_keymap(self)->map->size());
}


PyMethodDef keymap_methods[] = {
    {"map_arrow", keymap_map_arrow, METH_VARARGS,
     "map_arrow(columns, n, seq): group ids of rows of Arrow string key columns."},
    {"keys", keymap_keys, METH_NOARGS, "keys(): the keys in order of first appearance."},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods keymap_sequence = {.sq_length = keymap_len};

PyTypeObject KeyMapType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornel._scan.KeyMap",
    .tp_basicsize = sizeof(KeyMapObject),
    .tp_dealloc = keymap_dealloc,
    .tp_as_sequence = &keymap_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("KeyMap(n_parts): text keys -> group ids for one data set (private)."),
    .tp_methods = keymap_methods,
    .tp_new = keymap_new,
};

PyMethodDef scanner_methods[] = {
    {"scan", scanner_scan, METH_VARARGS, "scan(data, range, skip): one range's columns."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject ScannerType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornel._scan.Scanner",
    .tp_basicsize = sizeof(ScannerObject),
    .tp_dealloc = scanner_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = PyDoc_STR("Scanner(n_fields, value_fields, key_fields, na, key_na): the CSV "
                        "scanner of one data set (private)."),
    .tp_methods = scanner_methods,
    .tp_new = scanner_new,
};

int scan_exec(PyObject *mod) {
    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    if (!np) return -1;
    PyObject *empty = PyObject_GetAttrString(np.get(), "empty");
    if (!empty) return -1;
    Py_XSETREF(np_empty, empty);
    if (PyType_Ready(&ScannerType) < 0 || PyType_Ready(&KeyMapType) < 0) return -1;
    if (PyModule_AddObjectRef(mod, "KeyMap", reinterpret_cast<PyObject *>(&KeyMapType)) < 0)
        return -1;
    return PyModule_AddObjectRef(mod, "Scanner", reinterpret_cast<PyObject *>(&ScannerType));
}

PyModuleDef_Slot scan_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(scan_exec)},
    // Scanners share nothing but their key map, which has locks of its own.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyMethodDef scan_methods[] = {
    {"write_lines", write_lines, METH_VARARGS,
     "write_lines(json, keys, key_modes, key_names, names, stat_names, kinds, stats, lo, hi): "
     "the CSV lines or JSON records of a run of groups (private)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef scan_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vornel._scan",
    .m_doc = "The CSV scanner and output writers of vornel.table (private).",
    .m_size = 0,
    .m_methods = scan_methods,
    .m_slots = scan_slots,
};

}  // namespace
}  // namespace vornel

PyMODINIT_FUNC PyInit__scan(void) { return PyModuleDef_Init(&vornel::scan_def); }
