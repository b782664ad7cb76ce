// The one try/catch at every C entry point: a C++ exception never crosses
// into the interpreter; it becomes the entry point's error return instead.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "figvault/refs.hpp"

namespace figvault {

// Turns the exception being handled into a set Python error.
inline void set_error_from_current_exception() {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "figvault: error signalled without an exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "figvault: unknown C++ exception");
    }
}

// Runs `body` (returning OwnedRef) and returns a new reference or NULL.
template <class Body>
PyObject* guarded_object(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Runs `body` (returning int) and returns its status, -1 on an exception.
template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

// Runs `body` (returning a new reference, or NULL with an error set) and
// returns its result, NULL on an exception. For slots whose refusals must
// stay cheap: they return NULL directly instead of throwing.
template <class Body>
PyObject* guarded_call(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace figvault
