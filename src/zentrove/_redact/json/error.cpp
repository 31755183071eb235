// JSONRedactError for the scanner's errors: the ValueError whose str() is
// "<msg>: line L column C" like json's, made for a stream's bad line or
// raised for a document.
#include "_redact/json/scan.h"

#include <cstdio>

namespace zentrove::redact {

// A new JSONRedactError for the scanner's last error: str() is
// "<msg>: line L column C"; msg, lineno and colno are attributes.
PyObject* json_error(const Scanner& s)
{
    char msg[64];
    if (s.err.kind == ScanError::kBadUtf8) {
        std::snprintf(msg, sizeof msg, "Invalid UTF-8 byte 0x%02x", s.err.byte);
    }
    else {
        std::snprintf(msg, sizeof msg, "%s", json_error_message(s.err.kind));
    }
    Ref text = Ref::steal(PyUnicode_FromFormat("%s: line %llu column %llu", msg,
                                               static_cast<unsigned long long>(s.err.line),
                                               static_cast<unsigned long long>(s.err.col)));
    if (!text) {
        return nullptr;
    }
    Ref err = Ref::steal(PyObject_CallOneArg(g.json_error, text.get()));
    if (!err) {
        return nullptr;
    }
    Ref m = Ref::steal(PyUnicode_FromString(msg));
    Ref line = Ref::steal(PyLong_FromUnsignedLongLong(s.err.line));
    Ref col = Ref::steal(PyLong_FromUnsignedLongLong(s.err.col));
    if (!m || !line || !col || PyObject_SetAttrString(err.get(), "msg", m.get()) < 0 ||
        PyObject_SetAttrString(err.get(), "lineno", line.get()) < 0 ||
        PyObject_SetAttrString(err.get(), "colno", col.get()) < 0) {
        return nullptr;
    }
    return err.release();
}

void json_raise(const Scanner& s)
{
    if (s.err.kind == ScanError::kPython) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        return;
    }
    PyObject* err = json_error(s);
    if (err != nullptr) {
        PyErr_SetObject(g.json_error, err);
        Py_DECREF(err);
    }
}

}  // namespace zentrove::redact
