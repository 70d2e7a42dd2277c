// Process-wide module state and the calling convention every method shares.
#pragma once

#include <Python.h>

#include <cstdint>

#include "errors.hpp"

namespace vornel {

// Written only by the create and execute steps, under the import machinery, and read without
// locks afterwards. Never released: the module lives until the process ends.
struct State {
    PyObject *module = nullptr;  // strong; reset on a failed execute step
    int64_t first_interp = -1;
    PyObject *dict = nullptr;  // the module namespace, also the globals of traceback frames
    PyObject *builtins = nullptr;
    bool constants_ready = false;

    PyObject *empty_tuple, *empty_bytes, *empty_str;
    PyObject *int_zero, *float_zero;
    PyObject *k_count, *k_sum, *k_mean, *k_min, *k_max, *k_var, *k_std;  // result keys
    PyObject *s_zip_longest, *s_nan;
    PyObject *kw_fillvalue;  // ("fillvalue",), the keyword names of a vectorcall

    // Interned parameter names, one array per signature.
    PyObject *p_values[1], *p_other[1], *p_state[1], *p_n_groups[1], *p_add[2];

    PyObject *m_reduce, *m_other_stream, *m_other_grouped, *m_n_groups_mismatch, *m_same_length;

    PyObject *b_object, *b_import, *b_enumerate, *b_ellipsis, *b_id;
};

extern State g;

// A callable's parameters: the name binding messages use, and the traceback entry name.
struct Signature {
    const char *name;
    const char *entry;
    PyObject *const *params;  // interned; filled in by the execute step
    Py_ssize_t n;
};

// Binds vectorcall arguments to sig's parameters as borrowed references (rules for
// parameter lists with keyword names in call order). Returns -1 with TypeError set; the
// caller adds its traceback entry.
int bind_args(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
              PyObject **out) noexcept;

// The same for a creation call's argument tuple and keyword dict; out receives new
// references (released by the caller, also on failure).
int bind_new(const Signature &sig, PyObject *args, PyObject *kwds, PyObject **out) noexcept;

// A callable without parameters: refuses any argument. Adds no traceback entry.
int bind_none(const char *name, Py_ssize_t nargs, PyObject *kwnames) noexcept;

// Adds one traceback entry for the exception being raised. Entries name the module's main
// source; a line is given only where it is that file's own (elsewhere 0, so no unrelated
// source line is shown).
void add_traceback(const char *entry, int line = 0) noexcept;

// Runs f() while exc is the exception being handled, so what f raises gets exc as its
// __context__. Steals nothing.
template <class F>
auto while_handling(PyObject *exc, F &&f) {
    PyObject *saved = PyErr_GetHandledException();
    PyErr_SetHandledException(exc);
    auto r = f();
    PyErr_SetHandledException(saved);
    Py_XDECREF(saved);
    return r;
}

// The method-table entry of a METH_FASTCALL | METH_KEYWORDS body.
template <class F>
PyCFunction as_cfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Own names of the refusing pickling functions; each type stores them under __reduce__ and
// __setstate__ instead, so these names show only in messages and traceback entries.
#define VORNEL_REDUCE_NAME "__reduce_vornel__"
#define VORNEL_SETSTATE_NAME "__setstate_vornel__"

// Bodies of the refusing functions: bind, then raise the refusal with the given entry.
PyObject *refuse_reduce(const char *entry, Py_ssize_t nargs, PyObject *kwnames) noexcept;
PyObject *refuse_setstate(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) noexcept;

}  // namespace vornel

namespace vornel {

// The types, defined beside their methods and readied by the execute step.
extern PyTypeObject StreamStatsType;
extern PyTypeObject GroupedStatsType;
extern PyTypeObject DoubleViewIterType;  // internal, never bound in the namespace

}  // namespace vornel
