/* durnel_floor: the cost floor of a CoordinationState method call.
 *
 * A heap type, FloorState, built on the limited API at the 3.9 level, whose methods have the
 * names, the arities and the calling convention (METH_VARARGS | METH_KEYWORDS) of
 * CoordinationState's. Each method takes its arguments by position, checks that each is a
 * str, encodes it with PyUnicode_AsUTF8String (strict UTF-8, a bytes object per argument,
 * as the real binding does) and builds a result of the same shape from those bytes, and does
 * nothing else: no table, no lock, no clock.
 *
 *   status                -> str ("busy")
 *   claim_file/claim_task -> str (the agent id), or RuntimeError("{agent} already holds claim
 *                            on {path}") when the object was made with refuse_claims=True
 *   renew_claim           -> str (the agent id)
 *   release               -> None
 *   send_message          -> (from, to, content, int)
 *   broadcast             -> (from, "*", content, int)
 *   inbox / drain_inbox   -> list of inbox_length / drain_length tuples (agent, agent,
 *                            FLOOR_CONTENT, int)
 *
 * FLOOR_CONTENT is the message text the Python benchmark sends, so that every str made here
 * has the length of its counterpart in the real call.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

#define FLOOR_CONTENT "status report: build 42 passed"
#define FLOOR_SENT_AT 1765000000ULL
#define MAX_ARGS 3

typedef struct {
    PyObject_HEAD
    int refuse_claims;
    Py_ssize_t inbox_length;
    Py_ssize_t drain_length;
} FloorState;

typedef struct {
    PyObject *bytes[MAX_ARGS];
    const char *data[MAX_ARGS];
    Py_ssize_t size[MAX_ARGS];
    Py_ssize_t count;
} Utf8Args;

static void release_args(Utf8Args *a) {
    for (Py_ssize_t i = 0; i < a->count; ++i) Py_DECREF(a->bytes[i]);
    a->count = 0;
}

/* Takes exactly `n` positional str arguments and encodes each. */
static int encode_args(const char *name, PyObject *args, PyObject *kwargs, Py_ssize_t n,
                       Utf8Args *out) {
    out->count = 0;
    if (kwargs != NULL && PyDict_Size(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments here", name);
        return -1;
    }
    if (PyTuple_Size(args) != n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments", name, n);
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *value = PyTuple_GetItem(args, i);
        if (!PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "argument %zd of %s() must be str", i, name);
            release_args(out);
            return -1;
        }
        PyObject *bytes = PyUnicode_AsUTF8String(value);
        if (bytes == NULL) {
            release_args(out);
            return -1;
        }
        char *data;
        Py_ssize_t size;
        if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
            Py_DECREF(bytes);
            release_args(out);
            return -1;
        }
        out->bytes[i] = bytes;
        out->data[i] = data;
        out->size[i] = size;
        out->count = i + 1;
    }
    return 0;
}

static PyObject *str_of(const char *data, Py_ssize_t size) {
    return PyUnicode_FromStringAndSize(data, size);
}

/* (a, b, c, d) from three UTF-8 strings and an unsigned integer; NULL on failure. */
static PyObject *message_tuple(const char *a, Py_ssize_t na, const char *b, Py_ssize_t nb,
                               const char *c, Py_ssize_t nc) {
    PyObject *tuple = PyTuple_New(4);
    if (tuple == NULL) return NULL;
    PyObject *items[4] = {str_of(a, na), str_of(b, nb), str_of(c, nc),
                          PyLong_FromUnsignedLongLong(FLOOR_SENT_AT)};
    for (int i = 0; i < 4; ++i) {
        if (items[i] == NULL) {
            for (int j = 0; j < 4; ++j) Py_XDECREF(items[j]);
            Py_DECREF(tuple);
            return NULL;
        }
    }
    for (int i = 0; i < 4; ++i) PyTuple_SetItem(tuple, i, items[i]);
    return tuple;
}

static PyObject *message_list(const char *agent, Py_ssize_t size, Py_ssize_t length) {
    PyObject *list = PyList_New(length);
    if (list == NULL) return NULL;
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject *tuple = message_tuple(agent, size, agent, size, FLOOR_CONTENT,
                                        (Py_ssize_t)(sizeof FLOOR_CONTENT - 1));
        if (tuple == NULL) {
            Py_DECREF(list);
            return NULL;
        }
        PyList_SetItem(list, i, tuple);
    }
    return list;
}

static PyObject *floor_status(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    Utf8Args a;
    if (encode_args("status", args, kwargs, 1, &a) < 0) return NULL;
    PyObject *result = str_of("busy", 4);
    release_args(&a);
    return result;
}

static PyObject *claim(PyObject *self, PyObject *args, PyObject *kwargs, const char *name) {
    Utf8Args a;
    if (encode_args(name, args, kwargs, 2, &a) < 0) return NULL;
    PyObject *result = NULL;
    if (((FloorState *)self)->refuse_claims) {
        static const char middle[] = " already holds claim on ";
        const Py_ssize_t nm = (Py_ssize_t)(sizeof middle - 1);
        const Py_ssize_t total = a.size[0] + nm + a.size[1];
        char stack[256];
        char *text = total <= (Py_ssize_t)sizeof stack ? stack : PyMem_Malloc((size_t)total);
        if (text == NULL) {
            release_args(&a);
            return PyErr_NoMemory();
        }
        memcpy(text, a.data[0], (size_t)a.size[0]);
        memcpy(text + a.size[0], middle, (size_t)nm);
        memcpy(text + a.size[0] + nm, a.data[1], (size_t)a.size[1]);
        PyObject *message = str_of(text, total);
        if (text != stack) PyMem_Free(text);
        if (message != NULL) {
            PyErr_SetObject(PyExc_RuntimeError, message);
            Py_DECREF(message);
        }
    } else {
        result = str_of(a.data[0], a.size[0]);
    }
    release_args(&a);
    return result;
}

static PyObject *floor_claim_file(PyObject *self, PyObject *args, PyObject *kwargs) {
    return claim(self, args, kwargs, "claim_file");
}

static PyObject *floor_claim_task(PyObject *self, PyObject *args, PyObject *kwargs) {
    return claim(self, args, kwargs, "claim_task");
}

static PyObject *floor_renew_claim(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    Utf8Args a;
    if (encode_args("renew_claim", args, kwargs, 2, &a) < 0) return NULL;
    PyObject *result = str_of(a.data[0], a.size[0]);
    release_args(&a);
    return result;
}

static PyObject *floor_release(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    Utf8Args a;
    if (encode_args("release", args, kwargs, 2, &a) < 0) return NULL;
    release_args(&a);
    Py_INCREF(Py_None);
    return Py_None;
}

static PyObject *floor_send_message(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    Utf8Args a;
    if (encode_args("send_message", args, kwargs, 3, &a) < 0) return NULL;
    PyObject *result = message_tuple(a.data[0], a.size[0], a.data[1], a.size[1], a.data[2],
                                     a.size[2]);
    release_args(&a);
    return result;
}

static PyObject *floor_broadcast(PyObject *self, PyObject *args, PyObject *kwargs) {
    (void)self;
    Utf8Args a;
    if (encode_args("broadcast", args, kwargs, 2, &a) < 0) return NULL;
    PyObject *result = message_tuple(a.data[0], a.size[0], "*", 1, a.data[1], a.size[1]);
    release_args(&a);
    return result;
}

static PyObject *floor_inbox(PyObject *self, PyObject *args, PyObject *kwargs) {
    Utf8Args a;
    if (encode_args("inbox", args, kwargs, 1, &a) < 0) return NULL;
    PyObject *result = message_list(a.data[0], a.size[0], ((FloorState *)self)->inbox_length);
    release_args(&a);
    return result;
}

static PyObject *floor_drain_inbox(PyObject *self, PyObject *args, PyObject *kwargs) {
    Utf8Args a;
    if (encode_args("drain_inbox", args, kwargs, 1, &a) < 0) return NULL;
    PyObject *result = message_list(a.data[0], a.size[0], ((FloorState *)self)->drain_length);
    release_args(&a);
    return result;
}

#define FLOOR_METHOD(name) \
    {#name, (PyCFunction)(void (*)(void))floor_##name, METH_VARARGS | METH_KEYWORDS, NULL}

static PyMethodDef floor_methods[] = {
    FLOOR_METHOD(claim_file),  FLOOR_METHOD(claim_task), FLOOR_METHOD(release),
    FLOOR_METHOD(renew_claim), FLOOR_METHOD(send_message), FLOOR_METHOD(broadcast),
    FLOOR_METHOD(inbox),       FLOOR_METHOD(drain_inbox),  FLOOR_METHOD(status),
    {NULL, NULL, 0, NULL},
};

static PyObject *floor_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static char *keywords[] = {"refuse_claims", "inbox_length", "drain_length", NULL};
    int refuse_claims = 0;
    Py_ssize_t inbox_length = 3;
    Py_ssize_t drain_length = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$pnn", keywords, &refuse_claims,
                                     &inbox_length, &drain_length)) {
        return NULL;
    }
    allocfunc alloc = (allocfunc)PyType_GetSlot(type, Py_tp_alloc);
    FloorState *self = (FloorState *)alloc(type, 0);
    if (self == NULL) return NULL;
    self->refuse_claims = refuse_claims;
    self->inbox_length = inbox_length;
    self->drain_length = drain_length;
    return (PyObject *)self;
}

static void floor_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    freefunc free_fn = (freefunc)PyType_GetSlot(type, Py_tp_free);
    free_fn(self);
    Py_DECREF(type);
}

static PyType_Slot floor_slots[] = {
    {Py_tp_new, (void *)floor_new},
    {Py_tp_dealloc, (void *)floor_dealloc},
    {Py_tp_methods, floor_methods},
    {0, NULL},
};

static PyType_Spec floor_spec = {
    "durnel_floor.FloorState", (int)sizeof(FloorState), 0, Py_TPFLAGS_DEFAULT, floor_slots,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "durnel_floor", "The cost floor of a CoordinationState call.", -1,
    NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_durnel_floor(void) {
    PyObject *module = PyModule_Create(&floor_module);
    if (module == NULL) return NULL;
    PyObject *type = PyType_FromSpec(&floor_spec);
    if (type == NULL || PyModule_AddObject(module, "FloorState", type) < 0) {
        Py_XDECREF(type);
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
