// A key's text as the rules compare it, shared by the rules and the files
// that judge keys: a scratch buffer, and the exact and folded forms.
#pragma once

#include "_redact/redact.h"

#include "_common/utf8.h"

namespace zentrove::redact {

// Most bytes one code point can take once folded: three code points.
inline constexpr Py_ssize_t kMaxFoldedBytes = 3 * static_cast<Py_ssize_t>(kMaxUtf8Bytes);

// Scratch space for one key's text: on the stack, or PyMem for long keys.
class TextBuf {
public:
    // What fits on the stack: room enough that the folded text of a key
    // of kOnStack UTF-8 bytes never needs Python (memory, an exception).
    static constexpr Py_ssize_t kStack = 512;
    static constexpr Py_ssize_t kOnStack = kStack / kMaxFoldedBytes;

    TextBuf() noexcept = default;
    TextBuf(const TextBuf&) = delete;
    TextBuf& operator=(const TextBuf&) = delete;
    // Without a heap block nothing is called: a key judged on the stack may
    // be judged without the GIL, and PyMem_Free wants it even for NULL.
    ~TextBuf()
    {
        if (heap_ != nullptr) {
            PyMem_Free(heap_);
        }
    }

    // Room for `size` bytes; NULL with MemoryError.
    [[nodiscard]] char* reserve(Py_ssize_t size) noexcept
    {
        if (size <= kStack) {
            return stack_;
        }
        PyMem_Free(heap_);
        heap_ = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(size)));
        if (heap_ == nullptr) {
            PyErr_NoMemory();
        }
        return heap_;
    }

private:
    char stack_[kStack];
    char* heap_ = nullptr;
};

// The folded text of a ready str (or subclass): its size with *text
// pointing into buf, or -1 with an exception.
[[nodiscard]] Py_ssize_t fold_str(PyObject* key, TextBuf& buf, const char** text);
// Its exact text as UTF-8 (for ASCII *text points at the str's own data).
[[nodiscard]] Py_ssize_t exact_str(PyObject* key, TextBuf& buf, const char** text);
// The folded text of UTF-8 bytes; bytes that are not UTF-8 are kept as
// they are (they can then match no listed key).
[[nodiscard]] Py_ssize_t fold_utf8(const char* text, Py_ssize_t size, TextBuf& buf,
                                   const char** folded);

}  // namespace zentrove::redact
