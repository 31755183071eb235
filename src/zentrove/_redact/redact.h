// What the files of zentrove._redact share: the compiled key rules that every
// path applies (object walks, JSON text, key=value detector), and each file's
// start-up hook.  A rule of matching is written once, in rules.cpp.
#pragma once

#include "_common/ref.h"

#include <cstdint>

namespace zentrove::redact {

// How many detectors there are (detect::kCount, which checks it).
inline constexpr int kDetectorCount = 22;

// The GIL for a scope, in code that may run without it: the JSON text path
// releases it around a large chunk, `*released` then holding the thread
// state that PyEval_SaveThread gave (NULL while the GIL is held).
class WithGil {
public:
    explicit WithGil(PyThreadState** released) noexcept
        : released_(released != nullptr && *released != nullptr ? released : nullptr)
    {
        if (released_ != nullptr) {
            PyEval_RestoreThread(*released_);
            *released_ = nullptr;  // held: a guard within does nothing
        }
    }
    WithGil(const WithGil&) = delete;
    WithGil& operator=(const WithGil&) = delete;
    ~WithGil()
    {
        if (released_ != nullptr) {
            *released_ = PyEval_SaveThread();
        }
    }

private:
    PyThreadState** released_;  // NULL: the GIL was held already
};

// Process-wide state, made by start-up (module.cpp) and owned for the life
// of the process; touched with the GIL held.
struct Globals {
    PyObject* rule_key;  // "key", the rule of a key in reports
    PyObject* empty_tuple;
    PyObject* scratch;          // a dict of one entry whose stores hand out version tags
    PyTypeObject* defaultdict;  // collections.defaultdict
    PyObject* json_error;       // JSONRedactError, the ValueError of the JSON text path
    // Star masks of the short lengths, made on first use: immutable, so
    // every call of every redactor can share them.
    PyObject* stars[64];
    // The detectors' names, interned at start-up (detect_exec), in bit order.
    PyObject* detector_names[kDetectorCount];
};
extern Globals g;

// Compiled key rules of one redactor; immutable once built, so a verdict can
// be cached and never goes stale.  Defined in rules.cpp.
struct Rules;

// The rules of a zentrove.Redactor (borrowed, valid while it lives), or NULL
// with TypeError for any other object.
[[nodiscard]] const Rules* rules_of(PyObject* redactor);

// Is a key sensitive?  The key is given by its text: code points as UTF-8, a
// lone surrogate encoded as three bytes like any other code point (the JSON
// text path decodes escapes first).  1 sensitive, 0 not, -1 with an exception.
[[nodiscard]] int key_sensitive_utf8(const Rules& rules, const char* text, Py_ssize_t size);

// The same for a key object of a mapping.  A str (or subclass) is judged by
// its text; any other key never matches a listed key.  Runs no Python code.
[[nodiscard]] int key_sensitive(const Rules& rules, PyObject* key);

// A value with no key (the top level): sensitive only for an allow-list.
[[nodiscard]] bool keyless_sensitive(const Rules& rules) noexcept;

// Detectors of secrets in free text (detect/).  The `detect=` argument
// of a Redactor as a bit set: True all, False or None none, or an iterable of
// detector names (ValueError names the valid ones).  0, or -1 on error.
[[nodiscard]] int detectors_parse(PyObject* arg, uint32_t* detectors);
// The names of a bit set, as a tuple in table order (new reference).
[[nodiscard]] PyObject* detectors_names(uint32_t detectors);
// The interned name of detector bit `detector` (borrowed, immortal).
[[nodiscard]] PyObject* detector_name(int detector);
// The detectors on a str that the key rules leave alone, the one entry
// point of the walks and the JSON text path.  A value under a key is judged
// with it as Redactor.scan judges the text `key=value`, and masked as that
// text's value part: an AWS secret under "SecretAccessKey" goes, as does a
// value under "spring.datasource.password" when the rules deny "password".
// `key` is the text of a key the rules keep, as UTF-8 (a lone surrogate as
// three bytes), NULL for none (Redactor.scan, the top level, a list's item).  A new reference:
// the same object when nothing matched (always with no detectors, or
// without `copy`), else the masked copy; NULL with an exception.  Runs no
// Python code.  `fired` (may be NULL) gains the bit of each detector that
// masked something in the value.
[[nodiscard]] PyObject* scan_value(const Rules& rules, PyObject* value, const char* key,
                                   Py_ssize_t key_size, uint32_t* fired, bool copy = true);
// The same on a value given as UTF-8 (the bytes entry, for the JSON text
// path's decoded strings; a lone surrogate as three bytes), without Python
// objects: each span of the value to mask goes to `mask(ctx, begin, end)`
// in order, as byte offsets into it where code points start.  `released`
// (may be NULL) is the caller's GIL as WithGil takes it: released, the
// scan takes it back only where it needs Python (a long key's verdict, a
// failed allocation's MemoryError).  0, or -1 with an exception, or as
// `mask` returned it.
using MaskSpan = int (*)(void* ctx, Py_ssize_t begin, Py_ssize_t end);
[[nodiscard]] int scan_utf8(const Rules& rules, const char* value, Py_ssize_t size,
                            const char* key, Py_ssize_t key_size, PyThreadState** released,
                            MaskSpan mask, void* ctx);
// Redactor.scan(text), a method of the native base (detect/api.cpp).
[[nodiscard]] PyObject* redactor_scan(PyObject* self, PyObject* text);
extern const char redactor_scan_doc[];

// Start-up hooks, run in this order by the module's exec step once g is
// made; each adds its own types and functions to the module.  0, or -1.
[[nodiscard]] int redactor_exec(PyObject* module);  // redactor.cpp
[[nodiscard]] int json_exec(PyObject* module);      // json/api.cpp
[[nodiscard]] int detect_exec(PyObject* module);    // detect/api.cpp

}  // namespace zentrove::redact
