// Owning object reference.
//
// Ref holds one strong reference and releases it in its destructor.  The
// spelling at each call site says what happens to the count:
//   Ref::steal(p)   takes over a new reference (the usual API result);
//   Ref::borrow(p)  takes a reference of its own to a borrowed pointer;
//   r.release()     hands the reference on and leaves r empty;
//   r.get()         lends the pointer; r keeps its reference.
// Ref is move-only, so a reference cannot be released twice by copies.
#pragma once

#include <Python.h>

#include "py_compat.h"

namespace callback_model {

class Ref {
public:
    Ref() noexcept : obj_(nullptr) {}
    ~Ref() { Py_XDECREF(obj_); }

    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        PyObject *old = obj_;
        obj_ = other.obj_;
        other.obj_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }

    static Ref steal(PyObject *obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject *obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset() noexcept { Py_CLEAR(obj_); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_;
};

// Saves the pending exception and puts it back on scope exit, so that clean-up
// calls made on a failure path cannot replace or clear it.
class PendingError {
public:
    PendingError() noexcept : saved_(compat_save_error()) {}
    ~PendingError() { compat_restore_error(&saved_); }
    PendingError(const PendingError &) = delete;
    PendingError &operator=(const PendingError &) = delete;

private:
    SavedError saved_;
};

}  // namespace callback_model
