// Raising Python errors from C++ code.
//
// The one rule: a function that returns OwnedRef (or nothing) reports a
// failure by throwing PyErrorSet once the Python error is set, and every C
// slot catches it at its boundary (guard.hpp). raise_error() does both steps.
#pragma once

#include <Python.h>

#include <cstdarg>

#include "figvault/refs.hpp"

namespace figvault {

// Sets `type` with a PyUnicode_FromFormat message and throws PyErrorSet.
[[noreturn]] inline void raise_error(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw_error_set();
}

// Adds a note (PEP 678) to the exception being raised, which otherwise stays
// as it is. If the note cannot be added, the error that stopped it is raised
// with the original as its context, as `e.add_note(...)` in an except block.
inline void add_note_to_current_error(const char* format, ...) {
    PendingError error;
    PyObject* value = error.value();  // normalised before anything else can fail
    va_list arguments;
    va_start(arguments, format);
    OwnedRef note = OwnedRef::steal(PyUnicode_FromFormatV(format, arguments));
    va_end(arguments);
    OwnedRef added;
    if (note && value != nullptr) added = OwnedRef::steal(PyObject_CallMethod(value, "add_note", "O", note.get()));
    if (!added && PyErr_Occurred()) {
        error.chain_under_current();
        return;
    }
    error.restore();
}

}  // namespace figvault
