// Owned and borrowed references to Python objects, and the C++ exception
// that carries "a Python error is set" through C++ frames.
//
// Ownership rules:
//  * OwnedRef holds one strong reference and drops it when destroyed.
//    Build it with OwnedRef::steal (takes a new reference, e.g. a function
//    result), OwnedRef::checked (the same, but throws PyErrorSet on NULL) or
//    OwnedRef::incref (takes a new reference to a borrowed object).
//  * BorrowedRef never touches the reference count; it is only valid while
//    somebody else keeps the object alive.
//  * release() hands the reference to the caller (e.g. a C entry point
//    returning a new reference), leaving the OwnedRef empty.
//
// Every C entry point catches PyErrorSet (see guard.hpp) and returns its
// error value, so early returns and throws never leak or double-free.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

namespace figvault {

// Thrown after a Python exception has been set; carries nothing itself.
struct PyErrorSet {};

[[noreturn]] inline void throw_error_set() { throw PyErrorSet(); }

// Throws when a C API call reported failure (-1 by convention).
inline int check_status(int status) {
    if (status < 0) throw_error_set();
    return status;
}

class BorrowedRef {
public:
    BorrowedRef() = default;
    BorrowedRef(PyObject* object) : object_(object) {}  // NOLINT: implicit by design
    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
private:
    PyObject* object_ = nullptr;
};

class OwnedRef {
public:
    OwnedRef() = default;
    ~OwnedRef() { Py_XDECREF(object_); }

    static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
    static OwnedRef checked(PyObject* object) {
        if (object == nullptr) throw_error_set();
        return OwnedRef(object);
    }
    static OwnedRef incref(PyObject* object) {
        Py_XINCREF(object);
        return OwnedRef(object);
    }
    static OwnedRef incref(BorrowedRef object) { return incref(object.get()); }
    static OwnedRef none() { return incref(Py_None); }

    OwnedRef(const OwnedRef& other) : object_(other.object_) { Py_XINCREF(object_); }
    OwnedRef(OwnedRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    OwnedRef& operator=(OwnedRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    PyObject* get() const { return object_; }
    BorrowedRef borrow() const { return BorrowedRef(object_); }
    operator BorrowedRef() const { return BorrowedRef(object_); }  // NOLINT
    explicit operator bool() const { return object_ != nullptr; }

    // Hands the reference over; the OwnedRef is empty afterwards.
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset() { Py_CLEAR(object_); }

private:
    explicit OwnedRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// A pending Python exception, taken out of the thread state so that clean-up
// code may call the C API; restore() puts it back.
class PendingError {
public:
    PendingError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    // The exception instance, normalised on first use (no error may be set
    // meanwhile: normalising can call into Python); null when none was set.
    PyObject* value() {
        if (type_ != nullptr && !normalized_) {
            PyErr_NormalizeException(&type_, &value_, &traceback_);
            if (traceback_ != nullptr && value_ != nullptr) PyException_SetTraceback(value_, traceback_);
            normalized_ = true;
        }
        return value_;
    }

    void restore() {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }

    // Restores this error as the context of the error now set, like an
    // exception raised inside a `finally` block (the innermost error being
    // handled is the context, as the interpreter sets it), except that no
    // exception becomes a context of itself. With no new error set, this
    // error is simply restored.
    void chain_under_current() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);  // before anything calls into Python
        if (type == nullptr) {
            restore();
            return;
        }
        PyObject* context = this->value();
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value != nullptr && context != nullptr && !is_in_context_chain(context, value)) {
            PyException_SetContext(value, context);  // steals the reference
            value_ = nullptr;
        }
        PyErr_Restore(type, value, traceback);
    }

private:
    // True when `exception` is `start` or one of its contexts (the walk is
    // bounded: a chain made elsewhere may already hold a cycle).
    static bool is_in_context_chain(PyObject* start, PyObject* exception) {
        constexpr int kLongestChainWalked = 1000;
        OwnedRef current = OwnedRef::incref(start);
        for (int i = 0; current && i < kLongestChainWalked; ++i) {
            if (current.get() == exception) return true;
            current = OwnedRef::steal(PyException_GetContext(current.get()));
        }
        return false;
    }

    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
    bool normalized_ = false;
};

// Drops `object` (a file, say, whose release may call into Python) with the
// error being raised put aside meanwhile.
inline void release_with_error_set(OwnedRef& object) {
    PendingError error;
    object.reset();
    error.restore();
}

}  // namespace figvault
