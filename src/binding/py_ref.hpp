// Owning handle for one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace brindxml {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* o) noexcept { Py_XINCREF(o); return PyRef(o); }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(o_, std::exchange(other.o_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(o_); }

    PyObject* get() const noexcept { return o_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(o_, nullptr); }
    explicit operator bool() const noexcept { return o_ != nullptr; }

private:
    explicit PyRef(PyObject* o) noexcept : o_(o) {}
    PyObject* o_ = nullptr;
};

}  // namespace brindxml
