// Owned references to interpreter objects.
//
// `Ref` owns exactly one reference and releases it when it goes out of scope;
// borrowed references stay plain `PyObject*`. The ways in are explicit:
// `Ref::steal` takes over a new reference, `Ref::borrow` adds one; the way out
// is `release()`. A parameter that takes ownership is a `Ref&&`.
#pragma once

#include <Python.h>

namespace tarnvel {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept
    {
        PyObject* old = ptr_;
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    static Ref borrow(PyObject* ptr) noexcept
    {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept
    {
        PyObject* ptr = ptr_;
        ptr_ = nullptr;
        return ptr;
    }
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// Replaces a long-lived slot (module state, object fields) with what `value`
// owns, releasing the old value.
inline void replace(PyObject*& slot, Ref&& value) noexcept { Py_XSETREF(slot, value.release()); }

}  // namespace tarnvel
