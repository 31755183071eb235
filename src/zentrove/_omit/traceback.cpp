// Traceback entries: a synthetic frame per body that a failure leaves, and
// the process-wide cache of their code objects, keyed by file, name and line.
#include "internal.h"

#include <frameobject.h>

#include <cstring>

namespace zentrove::omit {

namespace {

// Open addressing over a fixed table: the set of (file, name, line) triples
// is bounded by the module's own code, so it never needs to grow.  When it is
// full the code object is simply not cached.
struct CodeCacheEntry {
    const char* file;  // static string, compared by content
    const char* name;  // static string, compared by content
    int line;
    PyObject* code;  // owned, lives until the process ends
};

constexpr size_t kCacheSize = 256;
CodeCacheEntry code_cache[kCacheSize];

[[nodiscard]] size_t cache_hash(const char* file, const char* name, int line) noexcept
{
    size_t h = 1469598103934665603ULL;
    for (const char* p = file; *p; ++p) {
        h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
    }
    for (const char* p = name; *p; ++p) {
        h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
    }
    return (h ^ static_cast<size_t>(line)) * 1099511628211ULL;
}

// The cached entry for the triple, or the free slot where it belongs (NULL
// when the table is full).
[[nodiscard]] CodeCacheEntry* find_slot(const char* qualname, int line, const char* file) noexcept
{
    const size_t start = cache_hash(file, qualname, line) % kCacheSize;
    for (size_t k = 0; k < kCacheSize; ++k) {
        CodeCacheEntry& e = code_cache[(start + k) % kCacheSize];
        if (e.code == nullptr || (e.line == line && std::strcmp(e.name, qualname) == 0 &&
                                  std::strcmp(e.file, file) == 0)) {
            return &e;
        }
    }
    return nullptr;
}

// A new reference to the code object of an entry, cached when possible.
[[nodiscard]] PyObject* entry_code(const char* qualname, int line, const char* file)
{
    CodeCacheEntry* slot = find_slot(qualname, line, file);
    if (slot != nullptr && slot->code != nullptr) {
        return Py_NewRef(slot->code);
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, qualname, line));
    if (code == nullptr) {
        return nullptr;
    }
    // Making the code object may have run Python code that cached the same
    // entry: look again, and keep the first one.
    slot = find_slot(qualname, line, file);
    if (slot == nullptr) {
        return code;
    }
    if (slot->code != nullptr) {
        Py_DECREF(code);
        return Py_NewRef(slot->code);
    }
    *slot = CodeCacheEntry{file, qualname, line, Py_NewRef(code)};
    return code;
}

}  // namespace

void add_traceback_entry(const char* qualname, int line, const char* file)
{
    ErrorStash pending;
    Ref code = Ref::steal(entry_code(qualname, line, file));
    if (!code) {
        pending.discard();  // the MemoryError replaces the failure
        return;
    }
    // Globals are the module's namespace; before start-up has one, an empty
    // dict stands in.
    Ref globals = g.module_dict != nullptr ? Ref::borrow(g.module_dict) : Ref::steal(PyDict_New());
    if (!globals) {
        pending.discard();
        return;
    }
    // A fresh frame has not run an instruction, so the interpreter reports
    // its code object's first line as the frame's current line.
    PyFrameObject* frame = PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr);
    if (frame == nullptr) {
        pending.discard();
        return;
    }
    pending.restore();
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace zentrove::omit
