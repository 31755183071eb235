// JSONStream: the scanner fed in chunks, for documents of any size and for
// JSON Lines.  feed() returns the output that is final so far; in JSON Lines
// mode a line's output is held until the line is complete and good.
#include "_redact/json/scan.h"

#include "_common/utf8.h"

#include <cstring>

namespace zentrove::redact {
namespace {

struct StreamObject {
    PyObject_HEAD PyObject* redactor;  // owned: keeps the rules alive
    PyObject* errors;                  // owned list: bad lines not yet taken by pop_errors()
    Scanner* scanner;                  // owned (PyMem)
    char* mask;                        // owned (PyMem_Raw): the fixed mask encoded, or NULL
    bool closed;                       // close() has run
    bool busy;                         // a feed() or close() runs (maybe with the GIL released)
    bool head_done;                    // the first bytes were checked for a byte-order mark
    uint8_t head_len;                  // first bytes held until a byte-order mark is ruled out
    char head[kUtf8BomSize];
};

// Bad lines go to the stream's list of errors.
int collect(Scanner& s, void* ctx)
{
    StreamObject* self = static_cast<StreamObject*>(ctx);
    PyObject* err = json_error(s);
    if (err == nullptr) {
        return -1;
    }
    int rc = PyList_Append(self->errors, err);
    Py_DECREF(err);
    return rc;
}

// The final output so far as bytes (after `prefix`); the rest stays held.
PyObject* take_output(StreamObject* self, const char* prefix, size_t prefix_len)
{
    Scanner& s = *self->scanner;
    size_t n = s.output.committed;
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n + prefix_len));
    if (out == nullptr) {
        return nullptr;
    }
    std::memcpy(PyBytes_AS_STRING(out), prefix, prefix_len);
    if (n != 0) {
        std::memcpy(PyBytes_AS_STRING(out) + prefix_len, s.output.out.data, n);
        std::memmove(s.output.out.data, s.output.out.data + n, s.output.out.len - n);
        s.output.out.len -= n;
        s.output.scan_mark = s.output.scan_mark >= n ? s.output.scan_mark - n : 0;
        s.output.committed = 0;
    }
    return out;
}

// After a scan step: the output, or the error of a document, or a Python error.
PyObject* settle(StreamObject* self, int rc, const char* prefix, size_t prefix_len)
{
    Scanner& s = *self->scanner;
    if (rc < 0 && (s.err.kind == ScanError::kPython || !s.cfg.lines)) {
        json_raise(s);
        return nullptr;
    }
    return take_output(self, prefix, prefix_len);
}

[[gnu::cold]] PyObject* closed_error()
{
    PyErr_SetString(PyExc_ValueError, "feed() after close()");
    return nullptr;
}

[[gnu::cold]] PyObject* busy_error()
{
    PyErr_SetString(PyExc_RuntimeError, "JSONStream is in use by another thread");
    return nullptr;
}

// Feeds the bytes held to rule out a byte-order mark; the mark itself is
// passed through to the output.  Returns the scan's status.
int feed_head(StreamObject* self, const char** prefix, size_t* prefix_len)
{
    self->head_done = true;
    if (self->head_len == kUtf8BomSize && std::memcmp(self->head, kUtf8Bom, kUtf8BomSize) == 0) {
        *prefix = kUtf8Bom;
        *prefix_len = kUtf8BomSize;
        return 0;
    }
    return scanner_feed(*self->scanner, self->head, self->head_len, collect, self);
}

PyObject* stream_feed(PyObject* op, PyObject* arg)
{
    StreamObject* self = reinterpret_cast<StreamObject*>(op);
    if (self->busy) {
        return busy_error();
    }
    if (self->closed) {
        return closed_error();
    }
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) {
        return nullptr;
    }
    const char* data = static_cast<const char*>(view.buf);
    size_t size = static_cast<size_t>(view.len);
    const char* prefix = "";
    size_t prefix_len = 0;
    int rc = 0;
    if (!self->head_done) {
        const size_t room = kUtf8BomSize - self->head_len;
        size_t take = size < room ? size : room;
        if (take != 0) {
            std::memcpy(self->head + self->head_len, data, take);
        }
        self->head_len = static_cast<uint8_t>(self->head_len + take);
        data += take;
        size -= take;
        if (self->head_len == kUtf8BomSize ||
            std::memcmp(self->head, kUtf8Bom, self->head_len) != 0) {
            rc = feed_head(self, &prefix, &prefix_len);
        }
    }
    Py_INCREF(self);  // a key comparison may run code that drops the last reference
    if (rc == 0 && size != 0) {
        self->busy = true;
        rc = scanner_feed(*self->scanner, data, size, collect, self);
        self->busy = false;
    }
    PyBuffer_Release(&view);
    PyObject* out = settle(self, rc, prefix, prefix_len);
    Py_DECREF(self);
    return out;
}

PyObject* stream_close(PyObject* op, PyObject*)
{
    StreamObject* self = reinterpret_cast<StreamObject*>(op);
    if (self->busy) {
        return busy_error();
    }
    if (self->closed) {
        return PyBytes_FromStringAndSize(nullptr, 0);
    }
    self->closed = true;
    const char* prefix = "";
    size_t prefix_len = 0;
    int rc = self->head_done ? 0 : feed_head(self, &prefix, &prefix_len);
    if (rc == 0) {
        rc = scanner_finish(*self->scanner, collect, self);
    }
    return settle(self, rc, prefix, prefix_len);
}

PyObject* stream_pop_errors(PyObject* op, PyObject*)
{
    StreamObject* self = reinterpret_cast<StreamObject*>(op);
    PyObject* fresh = PyList_New(0);
    if (fresh == nullptr) {
        return nullptr;
    }
    PyObject* taken = self->errors;
    self->errors = fresh;
    return taken;
}

PyObject* get_documents(PyObject* op, void*)
{
    return PyLong_FromUnsignedLongLong(
        reinterpret_cast<StreamObject*>(op)->scanner->output.documents);
}

PyObject* get_line(PyObject* op, void*)
{
    return PyLong_FromUnsignedLongLong(reinterpret_cast<StreamObject*>(op)->scanner->pos.line);
}

PyObject* get_stopped(PyObject* op, void*)
{
    return PyBool_FromLong(scanner_stopped(*reinterpret_cast<StreamObject*>(op)->scanner));
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"redactor", "lines", "keep_going", "bom", nullptr};
    PyObject* redactor;
    int lines = 0, keep_going = 0, bom = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$ppp:JSONStream", const_cast<char**>(kwlist),
                                     &redactor, &lines, &keep_going, &bom)) {
        return nullptr;
    }
    const Rules* rules = rules_of(redactor);
    if (rules == nullptr) {
        return nullptr;
    }
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) {
        return nullptr;
    }
    StreamObject* self = reinterpret_cast<StreamObject*>(obj.get());
    self->redactor = Py_NewRef(redactor);
    self->errors = PyList_New(0);
    if (self->errors == nullptr) {
        return nullptr;
    }
    size_t mask_len = 0;
    if (json_mask(*rules, &self->mask, &mask_len) < 0) {
        return nullptr;
    }
    self->scanner = static_cast<Scanner*>(PyMem_Malloc(sizeof(Scanner)));
    if (self->scanner == nullptr) {
        return PyErr_NoMemory();
    }
    scanner_init(*self->scanner, *rules, lines != 0, keep_going != 0, false, self->mask, mask_len);
    // Bytes that continue a file: a mark there is no byte-order mark.
    self->head_done = bom == 0;
    return obj.release();
}

int stream_traverse(PyObject* op, visitproc visit, void* arg)
{
    StreamObject* self = reinterpret_cast<StreamObject*>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->redactor);
    Py_VISIT(self->errors);
    return 0;
}

int stream_clear(PyObject* op)
{
    StreamObject* self = reinterpret_cast<StreamObject*>(op);
    Py_CLEAR(self->errors);
    // The redactor stays: the scanner borrows its rules until dealloc.
    return 0;
}

void stream_dealloc(PyObject* op)
{
    StreamObject* self = reinterpret_cast<StreamObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    Py_CLEAR(self->errors);
    if (self->scanner != nullptr) {
        scanner_free(*self->scanner);
        PyMem_Free(self->scanner);
    }
    PyMem_RawFree(self->mask);
    Py_CLEAR(self->redactor);
    type->tp_free(op);
    Py_DECREF(type);
}

PyMethodDef stream_methods[] = {
    {"feed", stream_feed, METH_O,
     "feed($self, data, /)\n--\n\nScan the next chunk of bytes; return the output that is final."},
    {"close", stream_close, METH_NOARGS,
     "close($self, /)\n--\n\nEnd the input; return the rest of the output."},
    {"pop_errors", stream_pop_errors, METH_NOARGS,
     "pop_errors($self, /)\n--\n\nThe JSONRedactError of each bad line since the last call."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"documents", get_documents, nullptr, "JSON Lines: documents redacted so far.", nullptr},
    {"line", get_line, nullptr, "Line number of the next byte.", nullptr},
    {"stopped", get_stopped, nullptr, "Whether a bad document stopped the scan.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("JSONStream(redactor, *, lines=False, keep_going=False, bom=True)\n--\n\n"
                       "Redacts JSON text fed in chunks of bytes.  A document's error raises\n"
                       "JSONRedactError; in JSON Lines mode a bad line is dropped and kept for\n"
                       "pop_errors(), and the scan stops there unless keep_going is true.\n"
                       "bom=False: the bytes continue a file, where a byte-order mark is\n"
                       "invalid, rather than start one.")},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    .name = "zentrove._redact.JSONStream",
    .basicsize = sizeof(StreamObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = stream_slots,
};

}  // namespace

int stream_exec(PyObject* module)
{
    PyObject* type = PyType_FromModuleAndSpec(module, &stream_spec, nullptr);
    if (type == nullptr) {
        return -1;
    }
    int rc = PyModule_AddObjectRef(module, "JSONStream", type);
    Py_DECREF(type);
    return rc;
}

}  // namespace zentrove::redact
