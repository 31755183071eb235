// Guards for paired calls of the C API, shared by both modules: the
// interpreter's recursion check and a stash for a pending exception; and the
// text that names what nested too deep.
#pragma once

#include "_common/ref.h"

namespace zentrove {

// The end of a RecursionError's message when nested data is too deep, as
// "maximum recursion depth exceeded" + it.  A macro so that messages can be
// joined with it at compile time.
#define ZT_NESTED_WHERE " while redacting nested data"
inline constexpr char kNestedWhere[] = ZT_NESTED_WHERE;

// Py_EnterRecursiveCall / Py_LeaveRecursiveCall as a scope.  Check ok()
// right after construction; a failed entry leaves RecursionError set.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept
        : entered_(Py_EnterRecursiveCall(where) == 0)
    {
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard()
    {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    [[nodiscard]] bool ok() const noexcept { return entered_; }

private:
    bool entered_;
};

// Holds the pending exception aside while other API calls run, and puts it
// back on restore() (or drops it on discard()).
class ErrorStash {
public:
    ErrorStash() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;
    ~ErrorStash() { restore(); }
    void restore() noexcept
    {
        if (type_ != nullptr || value_ != nullptr || tb_ != nullptr) {
            PyErr_Restore(type_, value_, tb_);
            type_ = value_ = tb_ = nullptr;
        }
    }
    void discard() noexcept
    {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

}  // namespace zentrove
