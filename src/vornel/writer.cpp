// The CSV and JSON output of summaries, written natively: keys, column names and every
// statistic of a run of groups as bytes, without a Python object per number.
#include <Python.h>

#include <charconv>
#include <cstring>

#include "keymap.hpp"
#include "numformat.hpp"
#include "owned.hpp"
#include "textcolumn.hpp"

namespace vornel {
namespace {

enum StatKind : int { kInt = 0, kFloat = 1, kFloatAlways = 2 };  // kFloat: empty if count 0
enum KeyMode : int { kText = 0, kFragment = 1 };  // JSON: a string to escape, or text as is

bool put(RawBuffer &out, const void *p, size_t n) noexcept { return out.append(p, n); }
bool put(RawBuffer &out, const char *text) noexcept { return out.append(text, std::strlen(text)); }

// A CSV cell: quoted, with quotes doubled, where a comma, quote or line break is inside.
bool csv_cell(RawBuffer &out, const unsigned char *p, size_t n) noexcept {
    bool quote = false;
    for (size_t i = 0; i < n && !quote; ++i)
        quote = p[i] == ',' || p[i] == '"' || p[i] == '\n' || p[i] == '\r';
    if (!quote) return put(out, p, n);
    if (!out.reserve(2 * n + 2)) return false;
    out.data[out.size++] = '"';
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == '"') out.data[out.size++] = '"';
        out.data[out.size++] = p[i];
    }
    out.data[out.size++] = '"';
    return true;
}

// A JSON string as Python's json.dumps writes it (ensure_ascii): escapes for quotes,
// backslashes and control characters, \uXXXX (surrogate pairs past U+FFFF) for non-ASCII.
bool json_string(RawBuffer &out, const unsigned char *p, size_t n) noexcept {
    static const char hex[] = "0123456789abcdef";
    if (!out.reserve(12 * n + 2)) return false;
    char *o = reinterpret_cast<char *>(out.data + out.size);
    char *const begin = o;
    auto u16 = [&](uint32_t c) {
        *o++ = '\\';
        *o++ = 'u';
        for (int s = 12; s >= 0; s -= 4) *o++ = hex[(c >> s) & 0xF];
    };
    *o++ = '"';
    for (size_t i = 0; i < n;) {
        const unsigned c = p[i];
        if (c >= 0x80) {  // UTF-8 (text is checked when first met)
            const int more = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : 3;
            uint32_t cp = c & (0x3Fu >> more);
            for (size_t k = 1; k <= static_cast<size_t>(more) && i + k < n; ++k)
                cp = cp << 6 | (p[i + k] & 0x3F);
            i += static_cast<size_t>(more) + 1;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                u16(0xD800 + (cp >> 10));
                u16(0xDC00 + (cp & 0x3FF));
            } else {
                u16(cp);
            }
            continue;
        }
        ++i;
        const char *esc = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\n' ? "\\n"
                          : c == '\r' ? "\\r" : c == '\t' ? "\\t" : c == '\b' ? "\\b"
                          : c == '\f' ? "\\f" : nullptr;
        if (esc) {
            *o++ = esc[0];
            *o++ = esc[1];
        } else if (c < 0x20 || c == 0x7F) {  // json.dumps escapes DEL too
            u16(c);
        } else {
            *o++ = static_cast<char>(c);
        }
    }
    *o++ = '"';
    out.size += static_cast<size_t>(o - begin);
    return true;
}

// The inputs of one run of lines, bound from Python and held for the call.
// Byte strings of a list, taken as pointers once: the lines are written detached. A tuple
// of them is held, so no other thread can free one by changing the list meanwhile.
struct Texts {
    Ref held;
    const unsigned char **p = nullptr;
    size_t *n = nullptr;

    ~Texts() {
        PyMem_Free(p);
        PyMem_Free(n);
    }
    int take(PyObject *list, Py_ssize_t expect) noexcept {
        held = Ref::steal(PyList_AsTuple(list));
        if (!held) return -1;
        if (PyTuple_GET_SIZE(held.get()) != expect) {  // changed since it was checked
            PyErr_SetString(PyExc_ValueError, "write_lines: arguments that do not agree");
            return -1;
        }
        const auto count = static_cast<size_t>(expect);
        p = static_cast<const unsigned char **>(PyMem_Calloc(count + 1, sizeof *p));
        n = static_cast<size_t *>(PyMem_Calloc(count + 1, sizeof *n));
        if (!p || !n) {
            PyErr_NoMemory();
            return -1;
        }
        for (size_t i = 0; i < count; ++i) {
            PyObject *b = PyTuple_GET_ITEM(held.get(), static_cast<Py_ssize_t>(i));
            if (!PyBytes_Check(b)) {  // changed since it was checked
                PyErr_SetString(PyExc_TypeError, "write_lines: names are bytes");
                return -1;
            }
            p[i] = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(b));
            n[i] = static_cast<size_t>(PyBytes_GET_SIZE(b));
        }
        return 0;
    }
};

struct Run {
    bool json = false;
    int n_keys = 0;
    TextColumn keys[64];
    int key_mode[64] = {};
    PyObject *key_names = nullptr, *names = nullptr, *stat_names = nullptr;  // lists of bytes
    Texts key_text, name_text, stat_text;  // their bytes, which outlive the call
    Py_ssize_t n_cols = 0, n_stats = 0;
    int kind[64] = {};
    Py_buffer *stats = nullptr;  // n_cols * n_stats arrays, column-major
    Py_ssize_t held = 0;
    int64_t lo = 0, hi = 0;

    ~Run() {
        for (Py_ssize_t i = 0; i < held; ++i) PyBuffer_Release(&stats[i]);
        PyMem_Free(stats);
    }
};

bool all_bytes(PyObject *list, Py_ssize_t n) noexcept {
    if (!PyList_Check(list) || PyList_GET_SIZE(list) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyBytes_Check(PyList_GET_ITEM(list, i))) return false;
    return true;
}

// Binds the stats (a tuple of a list per column of one array per statistic, each of >= hi
// elements). Lists are copied to tuples first: taking a buffer may run code that changes them.
int bind_stats(PyObject *stats, Run &r) noexcept {
    r.n_cols = PyTuple_GET_SIZE(stats);
    const size_t n = static_cast<size_t>(r.n_cols * r.n_stats);
    r.stats = static_cast<Py_buffer *>(PyMem_Calloc(n ? n : 1, sizeof(Py_buffer)));
    if (!r.stats) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t c = 0; c < r.n_cols; ++c) {
        PyObject *list = PyTuple_GET_ITEM(stats, c);
        Ref per = Ref::steal(PyList_Check(list) ? PyList_AsTuple(list) : nullptr);
        if (!per || PyTuple_GET_SIZE(per.get()) != r.n_stats) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_ValueError, "one array per statistic and column");
            return -1;
        }
        for (Py_ssize_t s = 0; s < r.n_stats; ++s) {
            Py_buffer &b = r.stats[r.held];
            if (PyObject_GetBuffer(PyTuple_GET_ITEM(per.get(), s), &b, PyBUF_C_CONTIGUOUS) < 0)
                return -1;
            ++r.held;
            if (b.len < r.hi * 8) {
                PyErr_SetString(PyExc_ValueError, "a statistic shorter than its groups");
                return -1;
            }
        }
    }
    return 0;
}

int bind(PyObject *args, Run &r) noexcept {
    PyObject *keys, *modes, *stats, *kinds;
    int json;
    long long lo, hi;
    if (!PyArg_ParseTuple(args, "pO!O!O!O!O!O!O!LL:write_lines", &json, &PyList_Type, &keys,
                          &PyList_Type, &modes, &PyList_Type, &r.key_names, &PyList_Type,
                          &r.names, &PyList_Type, &r.stat_names, &PyList_Type, &kinds,
                          &PyList_Type, &stats, &lo, &hi))
        return -1;
    r.json = json;
    r.lo = lo;
    r.hi = hi;
    r.n_keys = static_cast<int>(PyList_GET_SIZE(keys));
    r.n_stats = PyList_GET_SIZE(r.stat_names);
    if (r.n_keys > 64 || r.n_stats < 1 || r.n_stats > 64 || lo < 0 || hi < lo ||
        PyList_GET_SIZE(modes) != r.n_keys || PyList_GET_SIZE(kinds) != r.n_stats ||
        !all_bytes(r.key_names, r.n_keys) || !all_bytes(r.names, PyList_GET_SIZE(stats)) ||
        !all_bytes(r.stat_names, r.n_stats)) {
        PyErr_SetString(PyExc_ValueError, "write_lines: arguments that do not agree");
        return -1;
    }
    for (int j = 0; j < r.n_keys; ++j)
        r.key_mode[j] = static_cast<int>(PyLong_AsLong(PyList_GET_ITEM(modes, j)));
    for (Py_ssize_t s = 0; s < r.n_stats; ++s)
        r.kind[s] = static_cast<int>(PyLong_AsLong(PyList_GET_ITEM(kinds, s)));
    if (PyErr_Occurred()) return -1;
    bool known = r.kind[0] == kInt;  // the count comes first
    for (int j = 0; j < r.n_keys; ++j)
        known = known && (r.key_mode[j] == kText || r.key_mode[j] == kFragment);
    for (Py_ssize_t s = 0; s < r.n_stats; ++s)
        known = known && r.kind[s] >= kInt && r.kind[s] <= kFloatAlways;
    if (!known) {
        PyErr_SetString(PyExc_ValueError, "write_lines: unknown key mode or statistic kind");
        return -1;
    }
    const Ref key_cols = Ref::steal(PyList_AsTuple(keys));
    const Ref stat_cols = Ref::steal(PyList_AsTuple(stats));
    if (!key_cols || !stat_cols) return -1;
    for (int j = 0; j < r.n_keys; ++j)
        if (take_column(PyTuple_GET_ITEM(key_cols.get(), j), hi, r.keys[j]) < 0) return -1;
    if (bind_stats(stat_cols.get(), r) < 0) return -1;
    return r.key_text.take(r.key_names, r.n_keys) < 0 || r.name_text.take(r.names, r.n_cols) < 0 ||
                   r.stat_text.take(r.stat_names, r.n_stats) < 0
               ? -1
               : 0;
}

// One statistic of group g: empty (count 0), or its number.
bool number(RawBuffer &out, const Py_buffer &b, int kind, int64_t g, bool empty,
            bool json) noexcept {
    if (empty) return json ? put(out, "null") : true;
    char text[40];
    char *end;
    if (kind == kInt) {
        end = std::to_chars(text, text + sizeof text, static_cast<const int64_t *>(b.buf)[g]).ptr;
        return put(out, text, static_cast<size_t>(end - text));
    }
    const double x = static_cast<const double *>(b.buf)[g];
    if (!json) {
        end = format_arrow(x, text);
        return put(out, text, static_cast<size_t>(end - text));
    }
    const bool quote = !std::isfinite(x);  // JSON has no NaN or infinities: their text
    end = format_repr(x, text);
    return (!quote || put(out, "\"", 1)) && put(out, text, static_cast<size_t>(end - text)) &&
           (!quote || put(out, "\"", 1));
}

// The key part j of group g as a CSV cell (null: empty) or a JSON value (null: null).
bool key_cell(RawBuffer &out, const Run &r, int j, int64_t g) noexcept {
    if (r.keys[j].null_at(g)) return r.json ? put(out, "null") : true;
    uint32_t len;
    const unsigned char *p = r.keys[j].at(g, len);
    if (!r.json) return csv_cell(out, p, len);
    return r.key_mode[j] == kFragment ? put(out, p, len) : json_string(out, p, len);
}

// The CSV line of group g, column c.
bool csv_line(RawBuffer &out, const Run &r, int64_t g, Py_ssize_t c) noexcept {
    for (int j = 0; j < r.n_keys; ++j)
        if (!key_cell(out, r, j, g) || !put(out, ",", 1)) return false;
    if (!csv_cell(out, r.name_text.p[c], r.name_text.n[c])) return false;
    const Py_buffer *st = r.stats + c * r.n_stats;
    const bool empty = static_cast<const int64_t *>(st[0].buf)[g] == 0;  // count comes first
    for (Py_ssize_t s = 0; s < r.n_stats; ++s)
        if (!put(out, ",", 1) || !number(out, st[s], r.kind[s], g, empty && r.kind[s] == kFloat,
                                         false))
            return false;
    return put(out, "\n", 1);
}

// A JSON field "name": of a record, indented as json.dumps(indent=2) indents it.
bool field(RawBuffer &out, const unsigned char *name, size_t n, bool first) noexcept {
    return put(out, first ? "\n    " : ",\n    ") && json_string(out, name, n) &&
           put(out, ": ", 2);
}

// The JSON record of group g, column c (without the comma between records).
bool json_record(RawBuffer &out, const Run &r, int64_t g, Py_ssize_t c) noexcept {
    if (!put(out, "  {")) return false;
    for (int j = 0; j < r.n_keys; ++j)
        if (!field(out, r.key_text.p[j], r.key_text.n[j], j == 0) || !key_cell(out, r, j, g))
            return false;
    if (!field(out, reinterpret_cast<const unsigned char *>("column"), 6, r.n_keys == 0) ||
        !json_string(out, r.name_text.p[c], r.name_text.n[c]))
        return false;
    const Py_buffer *st = r.stats + c * r.n_stats;
    const bool empty = static_cast<const int64_t *>(st[0].buf)[g] == 0;
    for (Py_ssize_t s = 0; s < r.n_stats; ++s) {
        if (!field(out, r.stat_text.p[s], r.stat_text.n[s], false) ||
            !number(out, st[s], r.kind[s], g, empty && r.kind[s] == kFloat, true))
            return false;
    }
    return put(out, "\n  }");
}

}  // namespace

// write_lines(json, keys, key_modes, key_names, names, stat_names, kinds, stats, lo, hi):
// the CSV lines, or the JSON records joined by ",\n", of groups lo to hi, each group's
// columns in turn. keys are text columns (see TextColumn); stats a list per column of one
// array per statistic (int64 for kind 0, float64 otherwise; count first).
PyObject *write_lines(PyObject *, PyObject *args) {
    Run r;
    if (bind(args, r) < 0) return nullptr;
    RawBuffer out;
    bool ok = true;
    Py_BEGIN_ALLOW_THREADS
    for (int64_t g = r.lo; ok && g < r.hi; ++g)
        for (Py_ssize_t c = 0; ok && c < r.n_cols; ++c) {
            if (r.json)
                ok = (g == r.lo && c == 0 ? true : put(out, ",\n", 2)) && json_record(out, r, g, c);
            else
                ok = csv_line(out, r, g, c);
        }
    Py_END_ALLOW_THREADS
    PyObject *result = ok ? PyBytes_FromStringAndSize(reinterpret_cast<char *>(out.data),
                                                      static_cast<Py_ssize_t>(out.size))
                          : PyErr_NoMemory();
    out.release();
    return result;
}

}  // namespace vornel
