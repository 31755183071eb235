// The JSON text path as Python sees it: redact_json(redactor, data) for one
// document in memory, and the start-up that adds it, JSONRedactError and
// JSONStream (json/stream.cpp) to the module.
#include "_redact/json/internal.h"
#include "_redact/keytext.h"
#include "_redact/rules.h"

#include "_common/utf8.h"

#include <cstring>

namespace zentrove::redact {

int json_mask(const Rules& rules, char** mask, size_t* len)
{
    *mask = nullptr;
    *len = 0;
    if (rules.mask == nullptr) {
        return 0;
    }
    TextBuf utf8;
    const char* text;
    const Py_ssize_t n = exact_str(rules.mask, utf8, &text);
    if (n < 0) {
        return -1;
    }
    // Never NULL from here on, also for an empty mask.
    ByteBuf buf;
    if (reserve(buf, 1) < 0 || json_encode_body(text, static_cast<size_t>(n), buf) < 0) {
        PyMem_RawFree(buf.data);
        PyErr_NoMemory();
        return -1;
    }
    *mask = buf.data;
    *len = buf.len;
    return 0;
}

namespace {

// A scanner on the heap (it holds a fixed stack) with its encoded mask.
struct ScanSetup {
    Scanner* scanner = nullptr;
    char* mask = nullptr;
    ~ScanSetup()
    {
        if (scanner != nullptr) {
            scanner_free(*scanner);
            PyMem_Free(scanner);
        }
        PyMem_RawFree(mask);
    }
    [[nodiscard]] int init(const Rules& rules, bool lines, bool keep_going, bool surrogates)
    {
        size_t mask_len = 0;
        if (json_mask(rules, &mask, &mask_len) < 0) {
            return -1;
        }
        scanner = static_cast<Scanner*>(PyMem_Malloc(sizeof(Scanner)));
        if (scanner == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        scanner_init(*scanner, rules, lines, keep_going, surrogates, mask, mask_len);
        return 0;
    }
};

int no_bad_line(Scanner&, void*)
{
    return 0;
}

[[gnu::cold]] PyObject* bad_data_type(PyObject* data)
{
    return PyErr_Format(PyExc_TypeError, "data must be str or a bytes-like object, not %.200s",
                        Py_TYPE(data)->tp_name);
}

// redact_json(redactor, data, /): one JSON document, str -> str, bytes-like
// -> bytes.
PyObject* redact_json(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (!_PyArg_CheckPositional("redact_json", nargs, 2, 2)) {
        return nullptr;
    }
    const Rules* rules = rules_of(args[0]);
    if (rules == nullptr) {
        return nullptr;
    }
    // Hold both: the scan below may run a key's comparison.
    Ref redactor = Ref::borrow(args[0]);
    Ref data = Ref::borrow(args[1]);
    bool is_str = PyUnicode_Check(data.get());
    bool surrogates = false;
    Ref encoded;
    Py_buffer view{};
    const char* text;
    Py_ssize_t size;
    if (is_str) {
        text = PyUnicode_AsUTF8AndSize(data.get(), &size);
        if (text == nullptr) {
            // Lone surrogates have no UTF-8 form: scan them encoded as three
            // bytes each, and decode them back the same way.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                return nullptr;
            }
            PyErr_Clear();
            encoded = Ref::steal(PyUnicode_AsEncodedString(data.get(), "utf-8", "surrogatepass"));
            if (!encoded) {
                return nullptr;
            }
            text = PyBytes_AS_STRING(encoded.get());
            size = PyBytes_GET_SIZE(encoded.get());
            surrogates = true;
        }
    }
    else {
        if (!PyObject_CheckBuffer(data.get())) {
            return bad_data_type(data.get());
        }
        if (PyObject_GetBuffer(data.get(), &view, PyBUF_SIMPLE) < 0) {
            return nullptr;
        }
        text = static_cast<const char*>(view.buf);
        size = view.len;
    }
    struct Release {
        Py_buffer* view;
        ~Release()
        {
            if (view->obj != nullptr) {
                PyBuffer_Release(view);
            }
        }
    } release{&view};

    ScanSetup setup;
    if (setup.init(*rules, false, false, surrogates) < 0) {
        return nullptr;
    }
    Scanner& s = *setup.scanner;
    // The text may start with a byte-order mark (U+FEFF in a str), kept as
    // it is.
    const bool has_bom = static_cast<size_t>(size) >= kUtf8BomSize &&
                         std::memcmp(text, kUtf8Bom, kUtf8BomSize) == 0;
    size_t bom = has_bom ? kUtf8BomSize : 0;
    if (scanner_feed(s, text + bom, static_cast<size_t>(size) - bom, no_bad_line, nullptr) < 0 ||
        scanner_finish(s, no_bad_line, nullptr) < 0) {
        json_raise(s);
        return nullptr;
    }
    if (is_str) {
        Ref body = Ref::steal(PyUnicode_DecodeUTF8(s.output.out.data,
                                                   static_cast<Py_ssize_t>(s.output.out.len),
                                                   surrogates ? "surrogatepass" : nullptr));
        if (!body || bom == 0) {
            return body.release();
        }
        Ref mark = Ref::steal(PyUnicode_DecodeUTF8(kUtf8Bom, kUtf8BomSize, nullptr));
        return mark ? PyUnicode_Concat(mark.get(), body.get()) : nullptr;
    }
    PyObject* result =
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(s.output.out.len + bom));
    if (result != nullptr) {
        std::memcpy(PyBytes_AS_STRING(result), text, bom);
        if (s.output.out.len != 0) {
            std::memcpy(PyBytes_AS_STRING(result) + bom, s.output.out.data, s.output.out.len);
        }
    }
    return result;
}

PyMethodDef json_functions[] = {
    {"redact_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(redact_json)),
     METH_FASTCALL,
     "redact_json(redactor, data, /)\n--\n\n"
     "Redact one JSON document given as str (returns str) or bytes (returns\n"
     "bytes): the text is copied byte for byte, except that each string the\n"
     "redactor masks is replaced.  Raises JSONRedactError on invalid JSON."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int json_exec(PyObject* module)
{
    if (PyModule_AddObjectRef(module, "JSONRedactError", g.json_error) < 0 ||
        PyModule_AddFunctions(module, json_functions) < 0) {
        return -1;
    }
    return stream_exec(module);
}

}  // namespace zentrove::redact
