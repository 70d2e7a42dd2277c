// The module vornel._cycore: definition, start-up, argument binding and traceback entries.
#include <Python.h>
#include <frameobject.h>  // PyFrame_New, for traceback entries

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstddef>
#include <cstring>

#include "module.hpp"
#include "owned.hpp"

namespace vornel {

State g;

namespace {

constexpr const char *kModuleName = "vornel._cycore";
constexpr const char *kSourceFile = "src/vornel/_cycore.cpp";
constexpr const char *kInitEntry = "init vornel._cycore";

}  // namespace

// ---------------------------------------------------------------------------------------
// Exceptions and traceback entries

void add_traceback(const char *entry, int line) noexcept {
    // Building the code and frame must not see, or replace, the exception in flight.
    PyObject *exc = PyErr_GetRaisedException();
    PyCodeObject *code = PyCode_NewEmpty(kSourceFile, entry, line);
    PyFrameObject *frame =
        code ? PyFrame_New(PyThreadState_Get(), code, g.dict, nullptr) : nullptr;
    Py_XDECREF(code);
    PyErr_Clear();  // failing to describe the error must not lose it
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

// ---------------------------------------------------------------------------------------
// Argument binding

namespace {

int count_error(const char *name, Py_ssize_t n, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, "exactly", n, n == 1 ? "" : "s", given);
    return -1;
}

// 1 when key names param: exact strings by hash and characters, subclasses by their ==.
int same_name(PyObject *key, PyObject *param) noexcept {
    if (PyUnicode_CheckExact(key))
        return PyObject_Hash(key) == PyObject_Hash(param) && PyUnicode_Equal(key, param) == 1;
    return PyObject_RichCompareBool(key, param, Py_EQ);
}

// Index of the parameter in [lo, hi) that key names; -1 for none, -2 with an error set.
// Identity first: keywords written in source are interned, like the parameter names.
Py_ssize_t find_param(const Signature &sig, Py_ssize_t lo, Py_ssize_t hi, PyObject *key) noexcept {
    for (Py_ssize_t i = lo; i < hi; ++i)
        if (sig.params[i] == key) return i;
    for (Py_ssize_t i = lo; i < hi; ++i) {
        const int eq = same_name(key, sig.params[i]);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

// Reports a keyword that names none of the parameters still open after k positionals.
int keyword_error(const Signature &sig, Py_ssize_t k, PyObject *key) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
        return -1;
    }
    const Py_ssize_t j = find_param(sig, 0, k, key);
    if (j == -2) return -1;
    if (j >= 0)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     sig.name, key);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                     key);
    return -1;
}

}  // namespace

int bind_none(const char *name, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (nargs > 0) return count_error(name, 0, nargs);
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                     PyTuple_GET_ITEM(kwnames, 0));
        return -1;
    }
    return 0;
}

int bind_args(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
              PyObject **out) noexcept {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > sig.n || (nkw == 0 && nargs != sig.n)) return count_error(sig.name, sig.n, nargs);
    for (Py_ssize_t i = 0; i < sig.n; ++i) out[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        const Py_ssize_t i =
            PyUnicode_Check(key) ? find_param(sig, nargs, sig.n, key) : Py_ssize_t{-1};
        if (i == -2) return -1;
        if (i < 0) return keyword_error(sig, nargs, key);
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
            return -1;
        }
        out[i] = args[nargs + j];
    }
    for (Py_ssize_t i = nargs; i < sig.n; ++i)
        if (!out[i]) return count_error(sig.name, sig.n, i);
    return 0;
}

int bind_new(const Signature &sig, PyObject *args, PyObject *kwds, PyObject **out) noexcept {
    const Py_ssize_t k = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    for (Py_ssize_t i = 0; i < sig.n; ++i) out[i] = nullptr;
    if (k > sig.n || (nkw == 0 && k != sig.n)) return count_error(sig.name, sig.n, k);
    for (Py_ssize_t i = 0; i < k; ++i) out[i] = Py_NewRef(PyTuple_GET_ITEM(args, i));
    if (nkw == 0) return 0;
    int rc = 0;
    Py_BEGIN_CRITICAL_SECTION(kwds);
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = k; i < sig.n && rc == 0; ++i) {
        const int found = PyDict_GetItemRef(kwds, sig.params[i], &out[i]);
        if (found < 0) rc = -1;
        matched += found > 0;
    }
    if (rc == 0 && matched < PyDict_GET_SIZE(kwds)) {
        // Some key is not an open parameter: report the first, in the dict's order.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (PyUnicode_Check(key)) {
                const Py_ssize_t i = find_param(sig, k, sig.n, key);
                if (i == -2) {
                    rc = -1;
                    break;
                }
                if (i >= 0) continue;
            }
            rc = keyword_error(sig, k, key);
            break;
        }
    }
    Py_END_CRITICAL_SECTION();
    if (rc < 0) return -1;
    for (Py_ssize_t i = k; i < sig.n; ++i)
        if (!out[i]) return count_error(sig.name, sig.n, i);
    return 0;
}

// ---------------------------------------------------------------------------------------
// The refusal of pickling

PyObject *refuse_reduce(const char *entry, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (bind_none(VORNEL_REDUCE_NAME, nargs, kwnames) < 0) return nullptr;
    raise_with(PyExc_TypeError, g.m_reduce);
    add_traceback(entry, __LINE__);
    return nullptr;
}

PyObject *refuse_setstate(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) noexcept {
    PyObject *state;
    if (bind_args(sig, args, nargs, kwnames, &state) == 0) raise_with(PyExc_TypeError, g.m_reduce);
    add_traceback(sig.entry, __LINE__);
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Method objects: functions that bind to instances like functions of a class body

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyMethodDef *def;
    PyTypeObject *owner;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
};

// Called through the type, args[0] is the instance; bound calls arrive the same way, since
// the method-descriptor flag lets the interpreter skip making a bound method.
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    auto *f = reinterpret_cast<FunctionObject *>(callable);
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", f->def->ml_name, "needs an argument");
        return nullptr;
    }
    PyObject *self = args[0];
    if (!PyObject_TypeCheck(self, f->owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object",
                     f->def->ml_name, f->owner->tp_name, Py_TYPE(self)->tp_name);
        return nullptr;
    }
    auto body = reinterpret_cast<PyCFunctionFastWithKeywords>(
        reinterpret_cast<void (*)()>(f->def->ml_meth));
    return body(self, args + 1, n - 1, kwnames);
}

PyObject *function_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>",
                                reinterpret_cast<FunctionObject *>(self)->qualname, self);
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Function objects live in type dictionaries for the life of the process: no dealloc path.
PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornel._cycore.cyfunction",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_members = function_members,
    .tp_descr_get = function_get,
};

const char *short_name(const PyTypeObject *type) noexcept {
    const char *dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

// Replaces the method-table descriptors of the named methods with function objects.
int install_functions(PyTypeObject *type, std::initializer_list<const char *> names) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict) return -1;
    for (const char *name : names) {
        PyMethodDef *def = type->tp_methods;
        while (def->ml_name && std::strcmp(def->ml_name, name) != 0) ++def;
        if (!def->ml_name) {
            PyErr_Format(PyExc_SystemError, "%s has no method %s", type->tp_name, name);
            return -1;
        }
        Ref fname = Ref::steal(PyUnicode_InternFromString(name));
        Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", short_name(type), name));
        Ref module = Ref::steal(PyUnicode_FromString(kModuleName));
        Ref doc = def->ml_doc ? Ref::steal(PyUnicode_FromString(def->ml_doc)) : Ref::borrow(Py_None);
        if (!fname || !qualname || !module || !doc) return -1;
        auto *f = PyObject_New(FunctionObject, &FunctionType);
        if (!f) return -1;
        f->vectorcall = function_vectorcall;
        f->def = def;
        f->owner = type;
        f->name = Py_NewRef(fname.get());
        f->qualname = qualname.release();
        f->module = module.release();
        f->doc = doc.release();
        Ref func = Ref::steal(reinterpret_cast<PyObject *>(f));
        if (PyDict_SetItem(dict.get(), fname.get(), func.get()) < 0) return -1;
    }
    PyType_Modified(type);
    return 0;
}

// Stores the refusing pair under __reduce__ and __setstate__ and drops their own names.
int refuse_pickling(PyTypeObject *type) noexcept {
    int ok = 0;
    if (Ref dict = Ref::steal(PyType_GetDict(type))) {
        PyObject *reduce = nullptr, *setstate = nullptr;
        ok = PyDict_GetItemStringRef(dict.get(), VORNEL_REDUCE_NAME, &reduce) > 0 &&
             PyDict_GetItemStringRef(dict.get(), VORNEL_SETSTATE_NAME, &setstate) > 0 &&
             PyDict_SetItemString(dict.get(), "__reduce__", reduce) == 0 &&
             PyDict_SetItemString(dict.get(), "__setstate__", setstate) == 0 &&
             PyDict_DelItemString(dict.get(), VORNEL_REDUCE_NAME) == 0 &&
             PyDict_DelItemString(dict.get(), VORNEL_SETSTATE_NAME) == 0;
        Py_XDECREF(reduce);
        Py_XDECREF(setstate);
    }
    if (!ok) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                         type->tp_name);
        return -1;
    }
    PyType_Modified(type);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Start-up

int make_constants() noexcept {
    struct Text {
        PyObject **slot;
        const char *text;
    };
    const Text interned[] = {
        {&g.p_values[0], "values"},       {&g.p_other[0], "other"},
        {&g.p_state[0], "state"},         {&g.p_n_groups[0], "n_groups"},
        {&g.p_add[0], "group_ids"},       {&g.p_add[1], "values"},
        {&g.k_count, "count"},            {&g.k_sum, "sum"},
        {&g.k_mean, "mean"},              {&g.k_min, "min"},
        {&g.k_max, "max"},                {&g.k_var, "var"},
        {&g.k_std, "std"},                {&g.s_zip_longest, "zip_longest"},
    };
    const Text plain[] = {
        {&g.s_nan, "nan"},
        {&g.m_reduce, "no default __reduce__ due to non-trivial __cinit__"},
        {&g.m_other_stream, "other must be StreamStats"},
        {&g.m_other_grouped, "other must be GroupedStreamStats"},
        {&g.m_n_groups_mismatch, "n_groups mismatch"},
        {&g.m_same_length, "group_ids and values must have the same length"},
    };
    for (const Text &t : interned)
        if (!(*t.slot = PyUnicode_InternFromString(t.text))) return -1;
    for (const Text &t : plain)
        if (!(*t.slot = PyUnicode_FromString(t.text))) return -1;
    g.empty_tuple = PyTuple_New(0);
    g.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    g.empty_str = PyUnicode_FromString("");
    g.int_zero = PyLong_FromLong(0);
    g.float_zero = PyFloat_FromDouble(0.0);
    g.kw_fillvalue = Py_BuildValue("(s)", "fillvalue");
    if (!g.empty_tuple || !g.empty_bytes || !g.empty_str || !g.int_zero || !g.float_zero ||
        !g.kw_fillvalue)
        return -1;
    g.constants_ready = true;
    return 0;
}

int cache_builtins() noexcept {
    struct Cached {
        PyObject **slot;
        const char *name;
    };
    const Cached wanted[] = {{&g.b_object, "object"},     {&g.b_import, "__import__"},
                             {&g.b_enumerate, "enumerate"}, {&g.b_ellipsis, "Ellipsis"},
                             {&g.b_id, "id"}};
    for (const Cached &c : wanted) {
        PyObject *v = PyObject_GetAttrString(g.builtins, c.name);
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", c.name);
            return -1;
        }
        Py_XSETREF(*c.slot, v);
    }
    return 0;
}

int ready_type(PyObject *module, PyTypeObject *type, const char *bind_as) noexcept {
    static PyTypeObject *refused[2];
    if (PyType_Ready(type) < 0 || PyModule_AddObjectRef(module, bind_as, reinterpret_cast<PyObject *>(type)) < 0)
        return -1;
    // A retried import after a failed start-up finds the refusal already in place.
    for (PyTypeObject *t : refused)
        if (t == type) return 0;
    if (refuse_pickling(type) < 0) return -1;
    refused[refused[0] ? 1 : 0] = type;
    return 0;
}

enum class SizeCheck { Ignore, Warn };

// Guards against a NumPy or interpreter whose structures no longer fit these headers.
int check_type(PyObject *mod, const char *modname, const char *name, size_t expected,
               SizeCheck larger) noexcept {
    Ref obj = Ref::steal(PyObject_GetAttrString(mod, name));
    if (!obj) return -1;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", modname, name);
        return -1;
    }
    const auto *type = reinterpret_cast<PyTypeObject *>(obj.get());
    const Py_ssize_t basic = type->tp_basicsize, item = type->tp_itemsize;
    const auto want = static_cast<Py_ssize_t>(expected);
    if (basic + item < want) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from PyObject",
                     modname, name, want, basic + item);
        return -1;
    }
    if (larger == SizeCheck::Warn && basic > want)
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from PyObject",
                                modname, name, want, basic);
    return 0;
}

int import_numpy(PyObject *module) noexcept {
    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    if (!np) return -1;
    struct Want {
        const char *name;
        size_t size;
        SizeCheck larger;
    };
    if (check_type(g.builtins, "builtins", "type", sizeof(PyHeapTypeObject), SizeCheck::Warn) < 0)
        return -1;
    const Want wanted[] = {
        {"dtype", sizeof(PyArray_Descr), SizeCheck::Ignore},
        {"flatiter", sizeof(PyArrayIterObject), SizeCheck::Ignore},
        {"broadcast", sizeof(PyArrayMultiIterObject), SizeCheck::Ignore},
        {"ndarray", sizeof(PyArrayObject), SizeCheck::Ignore},
        {"generic", sizeof(PyObject), SizeCheck::Warn},
        {"number", sizeof(PyObject), SizeCheck::Warn},
        {"integer", sizeof(PyObject), SizeCheck::Warn},
        {"signedinteger", sizeof(PyObject), SizeCheck::Warn},
        {"unsignedinteger", sizeof(PyObject), SizeCheck::Warn},
        {"inexact", sizeof(PyObject), SizeCheck::Warn},
        {"floating", sizeof(PyObject), SizeCheck::Warn},
        {"complexfloating", sizeof(PyObject), SizeCheck::Warn},
        {"flexible", sizeof(PyObject), SizeCheck::Warn},
        {"character", sizeof(PyObject), SizeCheck::Warn},
        {"ufunc", sizeof(PyUFuncObject), SizeCheck::Ignore},
    };
    for (const Want &w : wanted)
        if (check_type(np.get(), "numpy", w.name, w.size, w.larger) < 0) return -1;

    Ref itertools = Ref::steal(PyImport_ImportModule("itertools"));
    if (!itertools) return -1;
    Ref zl = Ref::steal(PyObject_GetAttr(itertools.get(), g.s_zip_longest));
    if (!zl) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", g.s_zip_longest);
        return -1;
    }
    if (PyObject_SetAttr(module, g.s_zip_longest, zl.get()) < 0 ||
        PyModule_AddObjectRef(module, "np", np.get()) < 0)
        return -1;

    if (_import_array() < 0) {
        Ref cause = Ref::steal(PyErr_GetRaisedException());
        if (!PyErr_GivenExceptionMatches(cause.get(), PyExc_Exception)) {
            PyErr_SetRaisedException(cause.release());
            return -1;
        }
        return while_handling(cause.get(), [] {
            PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
            return -1;
        });
    }
    return 0;
}

int exec_body(PyObject *module) noexcept {
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) return -1;
#endif
    PyObject *dict = PyModule_GetDict(module);
    if (!dict) return -1;
    Py_XSETREF(g.dict, Py_NewRef(dict));

    PyObject *builtins = PyImport_AddModuleRef("builtins");
    if (!builtins) return -1;
    Py_XSETREF(g.builtins, builtins);
    if (PyModule_AddObjectRef(module, "__builtins__", builtins) < 0) return -1;

    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if ((major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major,
                         minor) < 0)
        return -1;

    if (!g.constants_ready && make_constants() < 0) return -1;
    return 1;  // from here on, failures carry the "init" traceback entry
}

int exec_rest(PyObject *module) noexcept {
    PyObject *modules = PyImport_GetModuleDict();
    const int present = PyMapping_HasKeyStringWithError(modules, kModuleName);
    if (present < 0) return -1;
    if (!present && PyMapping_SetItemString(modules, kModuleName, module) < 0) return -1;

    if (cache_builtins() < 0) return -1;
    if (ready_type(module, &StreamStatsType, "CyStreamStats") < 0 ||
        ready_type(module, &GroupedStatsType, "CyGroupedStreamStats") < 0 ||
        PyType_Ready(&DoubleViewIterType) < 0 || PyType_Ready(&FunctionType) < 0)
        return -1;
    if (import_numpy(module) < 0) return -1;
    if (install_functions(&StreamStatsType, {"add_values", "merge", "result"}) < 0 ||
        install_functions(&GroupedStatsType, {"add", "merge", "to_dict", "result_arrays"}) < 0)
        return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyModule_AddObjectRef(module, "__test__", test.get()) < 0) return -1;
    return 0;
}

int module_exec(PyObject *module) {
    if (g.module) {
        if (g.module == module) return 0;  // a re-import of the same module: nothing to redo
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_cycore' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g.module = Py_NewRef(module);
    const int body = exec_body(module);
    if (body > 0 && exec_rest(module) == 0) return 0;
    // A failed start-up keeps no module, so a later import starts afresh.
    if (g.constants_ready) add_traceback(kInitEntry, __LINE__);
    Py_CLEAR(g.module);
    return -1;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (g.first_interp == -1) {
        g.first_interp = id;
    } else if (g.first_interp != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g.module) {
        // The import system clears the state pointer of the module a create step returns
        // and the execute step then allocates a new one, so the block of the earlier
        // execution would be lost at every re-import: free it while it is still reachable.
        PyMem_Free(PyModule_GetState(g.module));
        return Py_NewRef(g.module);
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    struct Copy {
        const char *from, *to;
        bool store_none;
    };
    const Copy copies[] = {{"loader", "__loader__", true},
                           {"origin", "__file__", true},
                           {"parent", "__package__", true},
                           {"submodule_search_locations", "__path__", false}};
    for (const Copy &c : copies) {
        Ref v = Ref::steal(PyObject_GetAttrString(spec, c.from));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (v.get() == Py_None && !c.store_none) continue;
        if (PyObject_SetAttrString(module.get(), c.to, v.get()) < 0) return nullptr;
    }
    return module.release();
}

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_cycore",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vornel

PyMODINIT_FUNC PyInit__cycore(void) { return PyModuleDef_Init(&vornel::module_def); }
