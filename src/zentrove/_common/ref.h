// The owning reference both modules hold their locals in: header-only and
// allocation-free, so a module needs no C++ runtime.  Guards for paired
// calls are in guards.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zentrove {

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

}  // namespace zentrove
