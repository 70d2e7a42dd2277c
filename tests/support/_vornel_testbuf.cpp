// Test-only buffer exporter: hands out exactly the Py_buffer fields a test asks for.
//
//   Exporter(data, *, format=None, shape=None, strides=None, suboffsets=None, itemsize=1,
//            ndim=None, readonly=False, offset=0, length=None, error=None)
//
// data is copied; buf points offset bytes into the copy. format None exports a null format;
// shape/strides/suboffsets None export null pointers; ndim defaults to len(shape) (0 when
// shape is None); length defaults to len(data) - offset. error, when set, is raised by every
// buffer request instead. `exports` counts buffers held now, `requests` all requests seen.
#include <Python.h>

#include <cstring>
#include <vector>

namespace {

struct Exporter {
    PyObject_HEAD
    std::vector<char> *data;
    std::vector<Py_ssize_t> *shape, *strides, *suboffsets;
    bool has_shape, has_strides, has_suboffsets;
    char *format;  // null when None
    Py_ssize_t itemsize, ndim, offset, length;
    int readonly;
    PyObject *error;
    Py_ssize_t exports, requests;
};

int read_sizes(PyObject *obj, std::vector<Py_ssize_t> &out, bool &has) {
    has = obj && obj != Py_None;
    if (!has) return 0;
    PyObject *seq = PySequence_Fast(obj, "shape, strides and suboffsets must be sequences");
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        const Py_ssize_t v = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(seq, i));
        if (v == -1 && PyErr_Occurred()) {
            Py_DECREF(seq);
            return -1;
        }
        out.push_back(v);
    }
    Py_DECREF(seq);
    return 0;
}

void exporter_dealloc(PyObject *self) {
    auto *e = reinterpret_cast<Exporter *>(self);
    delete e->data;
    delete e->shape;
    delete e->strides;
    delete e->suboffsets;
    PyMem_Free(e->format);
    Py_XDECREF(e->error);
    Py_TYPE(self)->tp_free(self);
}

PyObject *exporter_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    static const char *kwlist[] = {"data",   "format",   "shape",  "strides", "suboffsets",
                                   "itemsize", "ndim",   "readonly", "offset", "length",
                                   "error",  nullptr};
    Py_buffer data;
    PyObject *format = Py_None, *shape = Py_None, *strides = Py_None, *suboffsets = Py_None;
    PyObject *ndim = Py_None, *length = Py_None, *error = Py_None;
    Py_ssize_t itemsize = 1, offset = 0;
    int readonly = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "y*|$OOOOnOpnOO", const_cast<char **>(kwlist),
                                     &data, &format, &shape, &strides, &suboffsets, &itemsize,
                                     &ndim, &readonly, &offset, &length, &error))
        return nullptr;
    auto *e = reinterpret_cast<Exporter *>(type->tp_alloc(type, 0));
    if (!e) {
        PyBuffer_Release(&data);
        return nullptr;
    }
    const char *bytes = static_cast<const char *>(data.buf);
    e->data = new std::vector<char>(bytes, bytes + data.len);
    PyBuffer_Release(&data);
    e->shape = new std::vector<Py_ssize_t>();
    e->strides = new std::vector<Py_ssize_t>();
    e->suboffsets = new std::vector<Py_ssize_t>();
    PyObject *self = reinterpret_cast<PyObject *>(e);
    if (read_sizes(shape, *e->shape, e->has_shape) < 0 ||
        read_sizes(strides, *e->strides, e->has_strides) < 0 ||
        read_sizes(suboffsets, *e->suboffsets, e->has_suboffsets) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    if (format != Py_None) {
        PyObject *b = PyUnicode_Check(format) ? PyUnicode_AsLatin1String(format) : Py_NewRef(format);
        if (!b || !PyBytes_Check(b)) {
            Py_XDECREF(b);
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "format must be str or bytes");
            Py_DECREF(self);
            return nullptr;
        }
        const Py_ssize_t n = PyBytes_GET_SIZE(b);
        e->format = static_cast<char *>(PyMem_Malloc(static_cast<size_t>(n) + 1));
        std::memcpy(e->format, PyBytes_AS_STRING(b), static_cast<size_t>(n) + 1);
        Py_DECREF(b);
    }
    e->itemsize = itemsize;
    e->ndim = ndim == Py_None ? static_cast<Py_ssize_t>(e->shape->size()) : PyLong_AsSsize_t(ndim);
    e->offset = offset;
    e->length = length == Py_None ? static_cast<Py_ssize_t>(e->data->size()) - offset
                                  : PyLong_AsSsize_t(length);
    e->readonly = readonly;
    e->error = error == Py_None ? nullptr : Py_NewRef(error);
    if (PyErr_Occurred()) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

int exporter_getbuffer(PyObject *self, Py_buffer *view, int flags) {
    auto *e = reinterpret_cast<Exporter *>(self);
    e->requests++;
    if (e->error) {
        if (PyExceptionInstance_Check(e->error))
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(e->error)), e->error);
        else
            PyErr_SetNone(e->error);
        view->obj = nullptr;
        return -1;
    }
    if (e->readonly && (flags & PyBUF_WRITABLE)) {
        PyErr_SetString(PyExc_BufferError, "Exporter: buffer is read-only");
        view->obj = nullptr;
        return -1;
    }
    view->obj = Py_NewRef(self);
    view->buf = e->data->data() + e->offset;
    view->len = e->length;
    view->readonly = e->readonly;
    view->itemsize = e->itemsize;
    view->format = e->format;
    view->ndim = static_cast<int>(e->ndim);
    view->shape = e->has_shape ? e->shape->data() : nullptr;
    view->strides = e->has_strides ? e->strides->data() : nullptr;
    view->suboffsets = e->has_suboffsets ? e->suboffsets->data() : nullptr;
    view->internal = nullptr;
    e->exports++;
    return 0;
}

void exporter_releasebuffer(PyObject *self, Py_buffer *) {
    reinterpret_cast<Exporter *>(self)->exports--;
}

PyMemberDef exporter_members[] = {
    {"exports", Py_T_PYSSIZET, offsetof(Exporter, exports), Py_READONLY, nullptr},
    {"requests", Py_T_PYSSIZET, offsetof(Exporter, requests), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyBufferProcs exporter_as_buffer = {exporter_getbuffer, exporter_releasebuffer};

PyTypeObject ExporterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornel._testing._vornel_testbuf.Exporter",
    .tp_basicsize = sizeof(Exporter),
    .tp_dealloc = exporter_dealloc,
    .tp_as_buffer = &exporter_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_members = exporter_members,
    .tp_new = exporter_new,
};

int testbuf_exec(PyObject *m) {
    if (PyType_Ready(&ExporterType) < 0) return -1;
    return PyModule_AddObjectRef(m, "Exporter", reinterpret_cast<PyObject *>(&ExporterType));
}

PyModuleDef_Slot testbuf_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(testbuf_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef testbuf_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vornel._testing._vornel_testbuf",
    .m_doc = "Test-only buffer exporter.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = testbuf_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vornel_testbuf(void) { return PyModuleDef_Init(&testbuf_def); }
