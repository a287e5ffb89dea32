/* The floors: minimal native versions of tavrel's five operations, each doing only the work
 * that the operation cannot avoid, so that the benchmark can say how far tavrel is from it.
 *
 *   Request(url, headers, method[, body])  exact type checks of the arguments, then the texts
 *                                         copied into one malloc'd block (tp_new, as tavrel)
 *   Request.command()                      PyUnicode_New of the exact size and memcpy of the
 *                                         stored pieces and the separators, no quoting
 *   Collection.add(request)                check the type, append a pointer
 *   Collection.get()                       per item one new object holding a malloc'd copy of
 *                                         its record-sized block
 *   export(document)                       the result str made from the finished bytes
 *
 * Nothing here is clever in a way tavrel could not also be. Positional arguments only; the
 * method is one of the members handed to set_methods(), found by identity. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

static PyObject *method_members[9];
static const char *const method_names[9] = {"GET", "POST", "PUT", "DELETE", "HEAD",
                                            "OPTIONS", "PATCH", "TRACE", "CONNECT"};

/* Block: size_t ends[2 * nheaders + 2] (url, key 0, value 0, ..., body), then the bytes. */
typedef struct {
    PyObject_HEAD
    size_t *block;
    size_t block_size;
    Py_ssize_t nheaders;
    int method;
    int has_body;
    int ascii;
} RequestObject;

static PyTypeObject RequestType;

static void request_dealloc(PyObject *self) {
    PyMem_RawFree(((RequestObject *)self)->block);
    Py_TYPE(self)->tp_free(self);
}

typedef struct {
    const char *data;
    Py_ssize_t size;
} View;

/* The UTF-8 bytes of an exact str; the ascii flag is cleared for any other str. */
static int text_view(PyObject *obj, View *view, int *ascii) {
    if (!PyUnicode_CheckExact(obj)) {
        PyErr_SetString(PyExc_TypeError, "expected str");
        return -1;
    }
    if (PyUnicode_IS_ASCII(obj)) {
        view->data = (const char *)PyUnicode_DATA(obj);
        view->size = PyUnicode_GET_LENGTH(obj);
        return 0;
    }
    *ascii = 0;
    view->data = PyUnicode_AsUTF8AndSize(obj, &view->size);
    return view->data == NULL ? -1 : 0;
}

#define STACK_TEXTS 34

static PyObject *request_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if ((kwargs != NULL && PyDict_GET_SIZE(kwargs) != 0) || nargs < 3 || nargs > 4) {
        PyErr_SetString(PyExc_TypeError, "Request(url, headers, method[, body])");
        return NULL;
    }
    PyObject *headers = PyTuple_GET_ITEM(args, 1);
    PyObject *method = PyTuple_GET_ITEM(args, 2);
    PyObject *body = nargs == 4 ? PyTuple_GET_ITEM(args, 3) : Py_None;
    if (!PyList_CheckExact(headers)) {
        PyErr_SetString(PyExc_TypeError, "expected list");
        return NULL;
    }
    int index = 0;
    while (index < 9 && method_members[index] != method) ++index;
    if (index == 9) {
        PyErr_SetString(PyExc_TypeError, "expected a method member");
        return NULL;
    }
    Py_ssize_t nheaders = PyList_GET_SIZE(headers);
    Py_ssize_t ntexts = 2 * nheaders + 2;
    View stack[STACK_TEXTS];
    View *views = ntexts <= STACK_TEXTS ? stack : PyMem_RawMalloc(sizeof(View) * (size_t)ntexts);
    if (views == NULL) return PyErr_NoMemory();
    int ascii = 1;
    size_t bytes = 0;
    PyObject *result = NULL;
    if (text_view(PyTuple_GET_ITEM(args, 0), &views[0], &ascii) < 0) goto done;
    for (Py_ssize_t i = 0; i < nheaders; ++i) {
        PyObject *pair = PyList_GET_ITEM(headers, i);
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "expected a pair");
            goto done;
        }
        if (text_view(PyTuple_GET_ITEM(pair, 0), &views[2 * i + 1], &ascii) < 0 ||
            text_view(PyTuple_GET_ITEM(pair, 1), &views[2 * i + 2], &ascii) < 0)
            goto done;
    }
    views[ntexts - 1].data = "";
    views[ntexts - 1].size = 0;
    if (body != Py_None && text_view(body, &views[ntexts - 1], &ascii) < 0) goto done;
    for (Py_ssize_t i = 0; i < ntexts; ++i) bytes += (size_t)views[i].size;

    size_t block_size = sizeof(size_t) * (size_t)ntexts + bytes;
    size_t *block = PyMem_RawMalloc(block_size);
    if (block == NULL) {
        PyErr_NoMemory();
        goto done;
    }
    char *out = (char *)(block + ntexts);
    size_t end = 0;
    for (Py_ssize_t i = 0; i < ntexts; ++i) {
        memcpy(out + end, views[i].data, (size_t)views[i].size);
        end += (size_t)views[i].size;
        block[i] = end;
    }
    RequestObject *self = (RequestObject *)type->tp_alloc(type, 0);
    if (self == NULL) {
        PyMem_RawFree(block);
        goto done;
    }
    self->block = block;
    self->block_size = block_size;
    self->nheaders = nheaders;
    self->method = index;
    self->has_body = body != Py_None;
    self->ascii = ascii;
    result = (PyObject *)self;
done:
    if (views != stack) PyMem_RawFree(views);
    return result;
}

static char *put(char *out, const void *data, size_t size) {
    memcpy(out, data, size);
    return out + size;
}

#define PUT_LITERAL(out, text) put(out, text, sizeof text - 1)

static PyObject *request_command(PyObject *op, PyObject *unused) {
    (void)unused;
    RequestObject *self = (RequestObject *)op;
    const size_t *ends = self->block;
    Py_ssize_t ntexts = 2 * self->nheaders + 2;
    const char *bytes = (const char *)(ends + ntexts);
    const char *method = method_names[self->method];
    size_t method_size = strlen(method);
    /* "curl -X " METHOD " " URL, per header ' -H "' KEY ": " VALUE '"', then " -d '" BODY "'" */
    size_t size = 8 + method_size + 1 + ends[ntexts - 2] + 8 * (size_t)self->nheaders;
    if (self->has_body) size += 6 + ends[ntexts - 1] - ends[ntexts - 2];
    PyObject *text = self->ascii ? PyUnicode_New((Py_ssize_t)size, 127) : NULL;
    char *scratch = NULL;
    char *out;
    if (self->ascii) {
        if (text == NULL) return NULL;
        out = (char *)PyUnicode_1BYTE_DATA(text);
    } else {
        out = scratch = PyMem_RawMalloc(size);
        if (scratch == NULL) return PyErr_NoMemory();
    }
    out = PUT_LITERAL(out, "curl -X ");
    out = put(out, method, method_size);
    *out++ = ' ';
    out = put(out, bytes, ends[0]);
    for (Py_ssize_t i = 0; i < self->nheaders; ++i) {
        size_t key = ends[2 * i], value = ends[2 * i + 1], value_end = ends[2 * i + 2];
        out = PUT_LITERAL(out, " -H \"");
        out = put(out, bytes + key, value - key);
        out = PUT_LITERAL(out, ": ");
        out = put(out, bytes + value, value_end - value);
        *out++ = '"';
    }
    if (self->has_body) {
        size_t from = ends[ntexts - 2];
        out = PUT_LITERAL(out, " -d '");
        out = put(out, bytes + from, ends[ntexts - 1] - from);
        *out++ = '\'';
    }
    if (scratch != NULL) {
        text = PyUnicode_DecodeUTF8(scratch, (Py_ssize_t)size, NULL);
        PyMem_RawFree(scratch);
    }
    return text;
}

static PyMethodDef request_methods[] = {
    {"command", request_command, METH_NOARGS, "The request's pieces and separators, unquoted."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject RequestType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_floors.Request",
    .tp_basicsize = sizeof(RequestObject),
    .tp_dealloc = request_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Request(url, headers, method[, body]): the texts in one malloc'd block.",
    .tp_methods = request_methods,
    .tp_new = request_new,
};

typedef struct {
    PyObject_HEAD
    PyObject **items;
    Py_ssize_t size;
    Py_ssize_t capacity;
} CollectionObject;

static void collection_dealloc(PyObject *op) {
    CollectionObject *self = (CollectionObject *)op;
    for (Py_ssize_t i = 0; i < self->size; ++i) Py_DECREF(self->items[i]);
    PyMem_RawFree(self->items);
    Py_TYPE(op)->tp_free(op);
}

static PyObject *collection_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != NULL && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Collection() takes no arguments");
        return NULL;
    }
    return type->tp_alloc(type, 0);
}

static PyObject *collection_add(PyObject *op, PyObject *request) {
    CollectionObject *self = (CollectionObject *)op;
    if (Py_TYPE(request) != &RequestType) {
        PyErr_SetString(PyExc_TypeError, "expected a Request");
        return NULL;
    }
    if (self->size == self->capacity) {
        Py_ssize_t capacity = self->capacity == 0 ? 8 : 2 * self->capacity;
        PyObject **grown = PyMem_RawRealloc(self->items, sizeof(PyObject *) * (size_t)capacity);
        if (grown == NULL) return PyErr_NoMemory();
        self->items = grown;
        self->capacity = capacity;
    }
    self->items[self->size++] = Py_NewRef(request);
    Py_RETURN_NONE;
}

static PyObject *collection_get(PyObject *op, PyObject *unused) {
    (void)unused;
    CollectionObject *self = (CollectionObject *)op;
    PyObject *list = PyList_New(self->size);
    if (list == NULL) return NULL;
    for (Py_ssize_t i = 0; i < self->size; ++i) {
        const RequestObject *from = (const RequestObject *)self->items[i];
        size_t *block = PyMem_RawMalloc(from->block_size);
        if (block == NULL) {
            Py_DECREF(list);
            return PyErr_NoMemory();
        }
        memcpy(block, from->block, from->block_size);
        RequestObject *copy = (RequestObject *)RequestType.tp_alloc(&RequestType, 0);
        if (copy == NULL) {
            PyMem_RawFree(block);
            Py_DECREF(list);
            return NULL;
        }
        copy->block = block;
        copy->block_size = from->block_size;
        copy->nheaders = from->nheaders;
        copy->method = from->method;
        copy->has_body = from->has_body;
        copy->ascii = from->ascii;
        PyList_SET_ITEM(list, i, (PyObject *)copy);
    }
    return list;
}

static PyMethodDef collection_methods[] = {
    {"add", collection_add, METH_O, "Checks the type and appends a pointer."},
    {"get", collection_get, METH_NOARGS, "A list of new Requests, each with a copy of its block."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject CollectionType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_floors.Collection",
    .tp_basicsize = sizeof(CollectionObject),
    .tp_dealloc = collection_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Collection(): pointers to Requests.",
    .tp_methods = collection_methods,
    .tp_new = collection_new,
};

static PyObject *floors_export(PyObject *module, PyObject *document) {
    (void)module;
    if (!PyBytes_CheckExact(document)) {
        PyErr_SetString(PyExc_TypeError, "expected bytes");
        return NULL;
    }
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(document), PyBytes_GET_SIZE(document), NULL);
}

static PyObject *floors_set_methods(PyObject *module, PyObject *members) {
    (void)module;
    if (!PyTuple_CheckExact(members) || PyTuple_GET_SIZE(members) != 9) {
        PyErr_SetString(PyExc_TypeError, "expected a tuple of the nine method members, in value order");
        return NULL;
    }
    for (int i = 0; i < 9; ++i) Py_XSETREF(method_members[i], Py_NewRef(PyTuple_GET_ITEM(members, i)));
    Py_RETURN_NONE;
}

static PyMethodDef floors_functions[] = {
    {"export", floors_export, METH_O, "The str of a finished UTF-8 document."},
    {"set_methods", floors_set_methods, METH_O, "The nine method members, GET to CONNECT."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floors_module = {
    PyModuleDef_HEAD_INIT, "_floors", "Minimal native versions of tavrel's operations.", -1, floors_functions,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__floors(void) {
    if (PyType_Ready(&RequestType) < 0 || PyType_Ready(&CollectionType) < 0) return NULL;
    PyObject *module = PyModule_Create(&floors_module);
    if (module == NULL) return NULL;
    if (PyModule_AddObjectRef(module, "Request", (PyObject *)&RequestType) < 0 ||
        PyModule_AddObjectRef(module, "Collection", (PyObject *)&CollectionType) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
