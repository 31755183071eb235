// Where the walks are entered: the three methods of RedactorBase (redact,
// redacted, report), and the detectors' entry for a str under a key, out of
// line so that its text buffer stays off the frames of the recursive walk.
#include "_redact/walk/walk.h"

#include "_redact/keytext.h"

namespace zentrove::redact {

// The detectors on a str with the str key it sits under, if any.  Out of
// line: the key's text buffer stays off the frames of the recursive walk.
PyObject* scan_under_key(const Rules& rules, PyObject* v, const Path* at, uint32_t* fired,
                         bool copy)
{
    if (at == nullptr || at->key == nullptr || !PyUnicode_Check(at->key)) {
        return scan_value(rules, v, nullptr, 0, fired, copy);
    }
    if (PyUnicode_IS_ASCII(at->key)) {  // its own bytes, the commonest key
        return scan_value(rules, v, static_cast<const char*>(PyUnicode_DATA(at->key)),
                          PyUnicode_GET_LENGTH(at->key), fired, copy);
    }
    TextBuf buf;
    const char* key;
    Py_ssize_t key_size = exact_str(at->key, buf, &key);
    return key_size < 0 ? nullptr : scan_value(rules, v, key, key_size, fired, copy);
}

namespace {

// redact and redacted: the walk of `data` from the top, which has no key.
template <Mode M>
[[nodiscard]] PyObject* walk_top(PyObject* self, PyObject* data)
{
    const Rules* rules = rules_of(self);
    if (rules == nullptr) {
        return nullptr;
    }
    Walk w(*rules, M);
    return walk_value<M>(w, data, keyless_sensitive(*rules), nullptr);
}

}  // namespace

PyObject* redactor_redact(PyObject* self, PyObject* data)
{
    return walk_top<Mode::InPlace>(self, data);
}

PyObject* redactor_redacted(PyObject* self, PyObject* data)
{
    return walk_top<Mode::Copy>(self, data);
}

PyObject* redactor_report(PyObject* self, PyObject* data)
{
    const Rules* rules = rules_of(self);
    if (rules == nullptr) {
        return nullptr;
    }
    Walk w(*rules, Mode::Report);
    // Room for a few entries up front: most reports are short.
    w.report = PyList_New(8);
    if (w.report == nullptr) {
        return nullptr;
    }
    Py_SET_SIZE(w.report, 0);
    Ref same = Ref::steal(walk_value<Mode::Report>(w, data, keyless_sensitive(*rules), nullptr));
    if (!same) {
        return nullptr;
    }
    PyObject* report = w.report;
    w.report = nullptr;
    return report;
}

}  // namespace zentrove::redact
