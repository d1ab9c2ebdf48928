// Owning reference to a Python object.
//
// Every local that holds a new reference is a Ref, so an early return on an
// error path releases what the function had acquired without cleanup code.
#pragma once

#include <Python.h>

#include <utility>

namespace kv {

/// A move-only owning reference; empty means "no object" (usually: an error is set).
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    /// Move assignment releases the object held before (and only after taking the new one,
    /// so that a destructor running Python code never sees a half-updated Ref).
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }

    ~Ref() { Py_XDECREF(ptr_); }

    /// Take over a new reference (may be NULL).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.ptr_ = p;
        return r;
    }
    /// Add a reference to a borrowed object (may be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    /// Give up ownership: the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    /// Drop the object; the pointer is cleared before the decref, as Py_CLEAR does.
    void reset() noexcept { Py_XDECREF(std::exchange(ptr_, nullptr)); }
    /// A second owning reference to the same object.
    Ref copy() const noexcept { return borrow(ptr_); }

    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace kv
