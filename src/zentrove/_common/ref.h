// Small RAII helpers over the C API: an owning reference, a guard for the
// interpreter's recursion check, and a stash for a pending exception.
// Header-only and allocation-free, so the module needs no C++ runtime.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zt {

// Move-only owner of one strong reference (or of nothing).  Every early
// return releases what it holds; release() hands the reference on.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept
    {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (which may be NULL after a failed call).
    [[nodiscard]] static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Takes a new strong reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* o) noexcept
    {
        Py_XINCREF(o);
        return Ref(o);
    }

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept
    {
        PyObject* o = obj_;
        obj_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

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

}  // namespace zt
