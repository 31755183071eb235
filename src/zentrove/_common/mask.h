// The mask both native modules write: `*` once per code point of the secret,
// so the mask keeps the length and nothing else.
#pragma once

#include "_common/ref.h"

#include <cstring>

namespace zentrove {

inline constexpr char kMaskChar = '*';

// A new str of `length` mask characters, filled in one pass; NULL with
// MemoryError on failure.
[[nodiscard]] inline PyObject* star_mask(Py_ssize_t length) noexcept
{
    PyObject* mask = PyUnicode_New(length, 127);
    if (mask != nullptr) {
        std::memset(PyUnicode_1BYTE_DATA(mask), kMaskChar, static_cast<size_t>(length));
    }
    return mask;
}

}  // namespace zentrove
